// Reads message-compiler source the way windmc does: keywords and names are
// case-sensitive, several keywords may share a line, each message starts at
// severity Success and facility 0 (nothing is inherited), an empty MessageId=
// is one more than the previous message. Where windmc is lax (a duplicate
// identifier, a silently truncated id) the host refuses the file instead.
#include "check/message_table.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "runtime.h"

namespace tolvanex::host {
namespace {

bool is_keyword(std::string_view word) {
    static constexpr std::string_view keywords[] = {
        "MessageIdTypedef", "SeverityNames", "FacilityNames", "LanguageNames", "OutputBase",
        "MessageId",        "Severity",      "Facility",      "SymbolicName",  "Language",
    };
    return std::find(std::begin(keywords), std::end(keywords), word) != std::end(keywords);
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool ends_word(char c) { return is_blank(c) || c == '=' || c == ':' || c == '(' || c == ')'; }

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t length = 0;
        char32_t cp = 0;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            length = 2;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            length = 3;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            length = 4;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (i + length > s.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

enum class Lang { English, French };

Lang parse_lang(std::string_view code, const std::string &table) {
    if (code == "en")
        return Lang::English;
    if (code == "fr")
        return Lang::French;
    throw HostError(table + ": unknown language '" + std::string(code) + "' (expected \"en\" or \"fr\")");
}

// How well a table language serves a requested one; 0 not at all. English
// also takes language-neutral text, which shares the English texts.
int rank(const MessageLanguage &language, Lang wanted) {
    const LangId primary = language.id & 0x3FF;
    if (wanted == Lang::English) {
        if (language.id == 0x409)
            return 4;
        if (primary == 0x09)
            return 3;
        if (language.id == 0)
            return 2;
        return language.name == "English" ? 1 : 0;
    }
    if (language.id == 0x40C)
        return 4;
    if (primary == 0x0C)
        return 3;
    return language.name == "French" ? 1 : 0;
}

struct ListItem {
    int line = 0;
    std::string name;
    std::uint64_t value = 0;
    std::string symbol;
};

// The message being read, from its MessageId= to the next one.
struct Entry {
    Message message;
    std::uint32_t code = 0;
    std::uint32_t severity = 0;
    std::uint32_t facility = 0;
    bool in_text = false; // a Language= has been seen: the id is fixed
};

} // namespace

std::string message_id_hex(std::uint32_t id) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(id));
    return buffer;
}

class MessageTable::Parser {
  public:
    Parser(std::string_view text, std::string name) : name_(std::move(name)) {
        if (text.starts_with("\xEF\xBB\xBF"))
            text.remove_prefix(3);
        while (!text.empty()) {
            const auto end = text.find('\n');
            std::string_view line = text.substr(0, end);
            if (end != std::string_view::npos && line.ends_with('\r'))
                line.remove_suffix(1);
            lines_.push_back(line);
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        }
        // The defaults windmc starts from.
        severities_ = {{"Success", 0}, {"Informational", 1}, {"Warning", 2}, {"Error", 3}};
        facilities_ = {{"System", 0x0FF}, {"Application", 0xFFF}};
        languages_ = {{"English", 0x001, "MSG00001"}};
    }

    MessageTable run() {
        for (row_ = 0; row_ < lines_.size(); ++row_) {
            col_ = 0;
            if (!valid_utf8(lines_[row_]))
                fail(line_no(), "invalid UTF-8");
            statements();
        }
        finish_entry();
        MessageTable table;
        table.name_ = std::move(name_);
        table.languages_ = std::move(languages_);
        table.messages_ = std::move(messages_);
        return table;
    }

  private:
    [[noreturn]] void fail(int line, const std::string &what) const {
        throw HostError(name_ + ":" + std::to_string(line) + ": " + what);
    }

    int line_no() const { return static_cast<int>(row_) + 1; }
    bool at_eol() const { return row_ >= lines_.size() || col_ >= lines_[row_].size(); }
    char peek() const { return at_eol() ? '\n' : lines_[row_][col_]; }

    void skip_blanks() {
        while (!at_eol() && is_blank(peek()))
            ++col_;
    }

    std::string_view word() {
        const std::size_t start = col_;
        while (!at_eol() && !ends_word(peek()))
            ++col_;
        return start == col_ ? std::string_view{} : lines_[row_].substr(start, col_ - start);
    }

    std::string shown_line() const {
        std::string_view line = lines_[row_];
        while (!line.empty() && is_blank(line.front()))
            line.remove_prefix(1);
        if (line.size() > 60)
            return std::string(line.substr(0, 57)) + "...";
        return std::string(line);
    }

    std::uint64_t number(std::string_view token, int line, const std::string &what) const {
        int base = 10;
        std::string_view digits = token;
        if (digits.starts_with("0x") || digits.starts_with("0X")) {
            base = 16;
            digits.remove_prefix(2);
        }
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
        if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size() || value > 0xFFFFFFFF)
            fail(line, what + ": '" + std::string(token) + "' is not a number");
        return value;
    }

    // Everything on the current line from col_; may move on to later lines.
    void statements() {
        for (;;) {
            skip_blanks();
            if (at_eol() || peek() == ';')
                return;
            statement();
        }
    }

    void statement() {
        const int line = line_no();
        const std::string key(word());
        skip_blanks();
        if (key.empty() || peek() != '=')
            fail(line, "text outside a message entry: \"" + shown_line() + "\"");
        ++col_;
        skip_blanks();
        if (key == "MessageIdTypedef") {
            if (word().empty())
                fail(line, "MessageIdTypedef= needs a type name");
        } else if (key == "OutputBase") {
            const auto base = number(word(), line, "OutputBase");
            if (base != 10 && base != 16)
                fail(line, "OutputBase must be 10 or 16, not " + std::to_string(base));
        } else if (key == "SeverityNames") {
            for (auto &item : list(key, 0x3, false))
                severities_[item.name] = static_cast<std::uint32_t>(item.value);
        } else if (key == "FacilityNames") {
            for (auto &item : list(key, 0xFFF, false))
                facilities_[item.name] = static_cast<std::uint32_t>(item.value);
        } else if (key == "LanguageNames") {
            for (auto &item : list(key, 0xFFFF, true))
                declare_language(item);
        } else if (key == "MessageId") {
            begin_entry(line);
        } else if (key == "Severity") {
            Entry &entry = entry_header(line, key);
            entry.severity = named(severities_, line, "severity");
        } else if (key == "Facility") {
            Entry &entry = entry_header(line, key);
            entry.facility = named(facilities_, line, "facility");
        } else if (key == "SymbolicName") {
            symbolic_name(line);
        } else if (key == "Language") {
            language(line);
        } else {
            fail(line, "unknown keyword '" + key + "'");
        }
    }

    // "(name=number[:symbol] ...)", possibly over several lines.
    std::vector<ListItem> list(const std::string &keyword, std::uint64_t max, bool needs_symbol) {
        const int open_line = line_no();
        if (peek() != '(')
            fail(open_line, keyword + "= needs a list in parentheses");
        ++col_;
        std::vector<ListItem> items;
        for (;;) {
            skip_blanks();
            if (at_eol() || peek() == ';') {
                if (++row_ >= lines_.size())
                    fail(open_line, "no ')' closes the " + keyword + " list");
                col_ = 0;
                if (!valid_utf8(lines_[row_]))
                    fail(line_no(), "invalid UTF-8");
                continue;
            }
            if (peek() == ')') {
                ++col_;
                return items;
            }
            ListItem item;
            item.line = line_no();
            item.name = word();
            if (is_keyword(item.name))
                fail(open_line, "no ')' closes the " + keyword + " list");
            skip_blanks();
            if (item.name.empty() || peek() != '=')
                fail(item.line, "expected name=number in " + keyword + ", found \"" + shown_line() + "\"");
            ++col_;
            skip_blanks();
            item.value = number(word(), item.line, keyword + " entry '" + item.name + "'");
            if (item.value > max)
                fail(item.line, keyword + " entry '" + item.name + "' is out of range");
            skip_blanks();
            if (peek() == ':') {
                ++col_;
                skip_blanks();
                item.symbol = word();
            }
            if (needs_symbol && item.symbol.empty())
                fail(item.line, keyword + " entry '" + item.name + "' needs ':file'");
            items.push_back(std::move(item));
        }
    }

    void declare_language(const ListItem &item) {
        const auto id = static_cast<LangId>(item.value);
        for (auto &language : languages_) {
            if (language.name == item.name) {
                language = {item.name, id, item.symbol};
                return;
            }
        }
        languages_.push_back({item.name, id, item.symbol});
    }

    std::uint32_t named(const std::map<std::string, std::uint32_t> &names, int line, const std::string &what) {
        const std::string name(word());
        const auto it = names.find(name);
        if (it == names.end())
            fail(line, name.empty() ? what + " name missing" : "unknown " + what + " '" + name + "'");
        return it->second;
    }

    void begin_entry(int line) {
        finish_entry();
        const std::size_t start = col_;
        std::string_view value = word();
        skip_blanks();
        if (peek() == '=') { // "MessageId= Severity=...": no value given
            col_ = start;
            value = {};
        }
        std::uint64_t code = last_code_ + 1;
        if (value.starts_with('+'))
            code = last_code_ + number(value.substr(1), line, "MessageId");
        else if (!value.empty())
            code = number(value, line, "MessageId");
        if (code > 0xFFFF)
            fail(line, "MessageId " + message_id_hex(static_cast<std::uint32_t>(code)) + " does not fit in 16 bits");
        last_code_ = static_cast<std::uint32_t>(code);
        entry_.emplace();
        entry_->message.line = line;
        entry_->code = last_code_;
    }

    Entry &entry_header(int line, const std::string &key) {
        if (!entry_)
            fail(line, key + "= outside a message entry (no MessageId= before it)");
        if (entry_->in_text)
            fail(line, key + "= after the message's text");
        return *entry_;
    }

    void symbolic_name(int line) {
        Entry &entry = entry_header(line, "SymbolicName");
        const std::string name(word());
        if (name.empty())
            fail(line, "SymbolicName= needs a name");
        if (const auto it = symbols_.find(name); it != symbols_.end())
            fail(line, "symbolic name " + name + " is already used at line " + std::to_string(it->second));
        symbols_.emplace(name, line);
        entry.message.symbolic_name = name;
    }

    void language(int line) {
        if (!entry_)
            fail(line, "Language= outside a message entry (no MessageId= before it)");
        const std::string name(word());
        skip_blanks();
        if (name.empty() || !at_eol())
            fail(line, "Language= needs one language name");
        const MessageLanguage *declared = nullptr;
        for (const auto &language : languages_)
            if (language.name == name)
                declared = &language;
        if (declared == nullptr)
            fail(line, "unknown language '" + name + "' (not in LanguageNames)");

        Message &message = entry_->message;
        if (!entry_->in_text) {
            entry_->in_text = true;
            message.id = full_id();
        }
        if (message.texts.contains(declared->id))
            fail(line, "second " + name + " text for message " + message_id_hex(message.id));

        std::string text;
        for (std::size_t r = row_ + 1; r < lines_.size(); ++r) {
            const std::string_view text_line = lines_[r];
            if (text_line == ".") {
                if (text.empty())
                    fail(line, "the " + name + " text of message " + message_id_hex(message.id) + " is empty");
                message.texts.emplace(declared->id, std::move(text));
                row_ = r;
                col_ = text_line.size();
                return;
            }
            if (!valid_utf8(text_line))
                fail(static_cast<int>(r) + 1, "invalid UTF-8");
            text.append(text_line);
            text.append("\r\n"); // the compiled table's line end
        }
        fail(line, "the " + name + " text of message " + message_id_hex(message.id) + " has no closing '.' line");
    }

    std::uint32_t full_id() const { return (entry_->severity << 30) | (entry_->facility << 16) | entry_->code; }

    void finish_entry() {
        if (!entry_)
            return;
        Message &message = entry_->message;
        const int line = message.line;
        if (!entry_->in_text)
            fail(line, "message " + message_id_hex(full_id()) + " has no text");
        const std::uint32_t id = message.id;
        const auto [it, added] = messages_.emplace(id, std::move(message));
        if (!added)
            fail(line,
                 "message " + message_id_hex(id) + " is already defined at line " + std::to_string(it->second.line));
        entry_.reset();
    }

    std::string name_;
    std::vector<std::string_view> lines_;
    std::size_t row_ = 0;
    std::size_t col_ = 0;
    std::map<std::string, std::uint32_t> severities_;
    std::map<std::string, std::uint32_t> facilities_;
    std::vector<MessageLanguage> languages_;
    std::map<std::uint32_t, Message> messages_;
    std::map<std::string, int> symbols_; // symbolic name -> line
    std::uint32_t last_code_ = 0;
    std::optional<Entry> entry_;
};

MessageTable MessageTable::parse(std::string_view text, std::string name) {
    return Parser(text, std::move(name)).run();
}

MessageTable MessageTable::load_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw HostError(path.string() + ": cannot open the message file");
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        throw HostError(path.string() + ": cannot read the message file");
    return parse(content.str(), path.string());
}

const Message *MessageTable::find(std::uint32_t id) const {
    const auto it = messages_.find(id);
    return it == messages_.end() ? nullptr : &it->second;
}

const std::string &MessageTable::text(std::uint32_t id, std::string_view lang) const {
    const Lang wanted = parse_lang(lang, name_);
    const Message *message = find(id);
    if (message == nullptr)
        throw HostError(name_ + ": no message " + message_id_hex(id));
    const std::string *best = nullptr;
    int best_rank = 0;
    for (const auto &language : languages_) {
        const int r = rank(language, wanted);
        const auto it = message->texts.find(language.id);
        if (r > best_rank && it != message->texts.end()) {
            best = &it->second;
            best_rank = r;
        }
    }
    if (best == nullptr)
        throw HostError(name_ + ":" + std::to_string(message->line) + ": message " + message_id_hex(id) + " has no " +
                        (wanted == Lang::English ? "English" : "French") + " text");
    return *best;
}

} // namespace tolvanex::host
