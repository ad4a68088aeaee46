// REGEDIT4 import and export for the host's registry.
#include "nt/regedit.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <variant>

namespace tolvanex::host {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kMachine = "\\Registry\\Machine";
constexpr std::string_view kUser = "\\Registry\\User";

bool iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
        if (up(a[i]) != up(b[i]))
            return false;
    }
    return true;
}

bool istarts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequal(s.substr(0, prefix.size()), prefix);
}

bool is_space(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return s;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// 1 to `max_digits` hex digits, or nullopt.
std::optional<std::uint32_t> parse_hex(std::string_view s, std::size_t max_digits) {
    if (s.empty() || s.size() > max_digits)
        return std::nullopt;
    std::uint32_t v = 0;
    for (char c : s) {
        int d = hex_digit(c);
        if (d < 0)
            return std::nullopt;
        v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    return v;
}

// ---- Reading ------------------------------------------------------------------

struct Line {
    std::string_view text;
    int number;
};

struct CreateKey {
    std::string path;
};
struct DeleteKey {
    std::string path;
};
struct SetValue {
    std::string path;
    RegValue value;
};
struct DeleteValue {
    std::string path;
    std::string name;
};
using Op = std::variant<CreateKey, DeleteKey, SetValue, DeleteValue>;

class Reader {
  public:
    Reader(std::string_view text, std::string_view source) : source_(source) {
        if (text.starts_with("\xEF\xBB\xBF"))
            text.remove_prefix(3);
        int number = 1;
        while (!text.empty()) {
            std::size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            if (line.ends_with('\r'))
                line.remove_suffix(1);
            lines_.push_back({line, number++});
            if (end == std::string_view::npos)
                break;
            text.remove_prefix(end + 1);
        }
    }

    std::vector<Op> read() {
        read_header();
        while (next_ < lines_.size()) {
            const Line &line = lines_[next_++];
            std::string_view text = trim(line.text);
            if (text.empty() || text.front() == ';')
                continue;
            if (text.front() == '[')
                read_section(text, line.number);
            else if (text.front() == '"' || text.front() == '@')
                read_value(text, line.number);
            else
                fail(line.number, "expected a [key] section or a \"name\"= value, found '" + std::string(text) + "'");
        }
        return std::move(ops_);
    }

  private:
    [[noreturn]] void fail(int line, const std::string &what) const {
        throw HostError(std::string(source_) + ":" + std::to_string(line) + ": " + what);
    }

    void read_header() {
        while (next_ < lines_.size()) {
            const Line &line = lines_[next_++];
            std::string_view text = trim(line.text);
            if (text.empty() || text.front() == ';')
                continue;
            if (text != kHeader)
                fail(line.number, "expected the REGEDIT4 header, found '" + std::string(text) + "'");
            return;
        }
        fail(lines_.empty() ? 1 : lines_.back().number, "missing the REGEDIT4 header");
    }

    void read_section(std::string_view text, int number) {
        if (text.back() != ']')
            fail(number, "section header lacks its closing ']'");
        std::string_view name = text.substr(1, text.size() - 2);
        bool remove = name.starts_with('-');
        if (remove)
            name.remove_prefix(1);
        std::string path = nt_path(name, number);
        try {
            Registry::check_path(path);
        } catch (const HostError &e) {
            fail(number, e.what());
        }
        if (remove) {
            if (path == kMachine || path == kUser)
                fail(number, "a hive cannot be deleted");
            ops_.push_back(DeleteKey{path});
            section_.reset();
        } else {
            ops_.push_back(CreateKey{path});
            section_ = path;
        }
        section_seen_ = true;
    }

    std::string nt_path(std::string_view name, int number) const {
        std::string_view root = name.substr(0, name.find('\\'));
        std::string_view rest = name.substr(root.size());
        if (iequal(root, "HKEY_LOCAL_MACHINE") || iequal(root, "HKLM"))
            return std::string(kMachine) + std::string(rest);
        if (iequal(root, "HKEY_USERS") || iequal(root, "HKU"))
            return std::string(kUser) + std::string(rest);
        fail(number, "unknown root key '" + std::string(root) + "' (HKEY_LOCAL_MACHINE, HKLM, HKEY_USERS or HKU)");
    }

    // A "quoted" string at the start of `text`; `text` is left after it.
    std::string quoted(std::string_view &text, int number, std::string_view what) const {
        std::string out;
        std::size_t i = 1;
        for (; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] != '\\') {
                out.push_back(text[i]);
                continue;
            }
            if (++i == text.size())
                break;
            if (text[i] != '\\' && text[i] != '"')
                fail(number, "unknown escape '\\" + std::string(1, text[i]) + "' in " + std::string(what) +
                                 " (only \\\\ and \\\")");
            out.push_back(text[i]);
        }
        if (i >= text.size())
            fail(number, std::string(what) + " lacks its closing quote");
        text.remove_prefix(i + 1);
        try {
            reg::to_utf16(out);
        } catch (const HostError &e) {
            fail(number, std::string(what) + ": " + e.what());
        }
        return out;
    }

    void read_value(std::string_view text, int number) {
        if (!section_seen_)
            fail(number, "value before any [key] section");
        if (!section_)
            fail(number, "value under a [-key] section, whose key is being deleted");
        std::string name;
        if (text.front() == '@')
            text.remove_prefix(1);
        else
            name = quoted(text, number, "value name");
        text = trim(text);
        if (!text.starts_with('='))
            fail(number, "expected '=' after the value name");
        std::string_view data = trim(text.substr(1));
        if (data == "-") {
            ops_.push_back(DeleteValue{*section_, name});
            return;
        }
        RegValue value{name, kRegNone, {}};
        if (data.starts_with('"')) {
            std::string s = quoted(data, number, "string");
            if (!trim(data).empty())
                fail(number, "unexpected text after the string: '" + std::string(trim(data)) + "'");
            value.type = kRegSz;
            value.data = reg::sz_bytes(s);
        } else if (istarts_with(data, "dword:")) {
            std::optional<std::uint32_t> v = parse_hex(data.substr(6), 8);
            if (!v)
                fail(number, "dword needs 1 to 8 hex digits, found '" + std::string(data.substr(6)) + "'");
            value.type = kRegDword;
            for (int shift = 0; shift < 32; shift += 8)
                value.data.push_back(static_cast<std::uint8_t>(*v >> shift));
        } else if (istarts_with(data, "hex:")) {
            value.type = kRegBinary;
            value.data = hex_list(data.substr(4), number);
        } else if (istarts_with(data, "hex(")) {
            std::size_t close = data.find(')');
            std::optional<std::uint32_t> type;
            if (close != std::string_view::npos)
                type = parse_hex(data.substr(4, close - 4), 8);
            if (!type || data.substr(close + 1, 1) != ":")
                fail(number, "expected hex(N): with N in hex, found '" + std::string(data) + "'");
            value.type = *type;
            value.data = hex_list(data.substr(close + 2), number);
            if (value.type == kRegSz || value.type == kRegExpandSz || value.type == kRegMultiSz)
                value.data = text_to_stored(value.type, value.data, number);
        } else {
            fail(number,
                 "unknown value data '" + std::string(data) + "' (expected \"text\", -, dword:, hex: or hex(N):)");
        }
        ops_.push_back(SetValue{*section_, std::move(value)});
    }

    // Comma-separated bytes, continued onto following lines while a line
    // ends with '\'. Each byte's error names the line it is on.
    std::vector<std::uint8_t> hex_list(std::string_view first, int number) {
        std::string joined;
        std::vector<std::pair<std::size_t, int>> line_at; // offset in joined -> line
        std::string_view part = trim(first);
        for (;;) {
            bool continued = part.ends_with('\\');
            if (continued)
                part = trim(part.substr(0, part.size() - 1));
            line_at.emplace_back(joined.size(), number);
            joined += part;
            if (!continued)
                break;
            if (next_ >= lines_.size())
                fail(number, "file ends inside a continued hex list");
            number = lines_[next_].number;
            part = trim(lines_[next_++].text);
        }
        auto line_of = [&](std::size_t offset) {
            int found = line_at.front().second;
            for (auto [start, n] : line_at)
                if (start <= offset)
                    found = n;
            return found;
        };
        std::vector<std::uint8_t> bytes;
        if (joined.empty())
            return bytes;
        std::size_t pos = 0;
        for (;;) {
            std::size_t comma = joined.find(',', pos);
            std::string_view item = trim(
                std::string_view(joined).substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
            if (item.empty())
                fail(line_of(pos), "missing byte in hex list");
            std::optional<std::uint32_t> b = parse_hex(item, 2);
            if (!b)
                fail(line_of(pos), "'" + std::string(item) + "' is not a byte of 1 or 2 hex digits");
            bytes.push_back(static_cast<std::uint8_t>(*b));
            if (comma == std::string::npos)
                return bytes;
            pos = comma + 1;
        }
    }

    // REGEDIT4 holds string types as 8-bit text; the registry holds UTF-16.
    std::vector<std::uint8_t> text_to_stored(std::uint32_t type, const std::vector<std::uint8_t> &bytes,
                                             int number) const {
        std::vector<std::string> strings;
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            std::size_t end = pos;
            while (end < bytes.size() && bytes[end] != 0)
                ++end;
            if (end == pos)
                break;
            strings.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                                 bytes.begin() + static_cast<std::ptrdiff_t>(end));
            pos = end + 1;
            if (type != kRegMultiSz)
                break;
        }
        try {
            if (type == kRegMultiSz)
                return reg::multi_sz_bytes(strings);
            return reg::sz_bytes(strings.empty() ? std::string() : strings.front());
        } catch (const HostError &e) {
            fail(number, reg::type_name(type) + " bytes are not UTF-8 text: " + e.what());
        }
    }

    std::string_view source_;
    std::vector<Line> lines_;
    std::size_t next_ = 0;
    std::vector<Op> ops_;
    bool section_seen_ = false;
    std::optional<std::string> section_; // empty after a [-key] section
};

void apply(Registry &registry, const Op &op) {
    if (auto *c = std::get_if<CreateKey>(&op))
        registry.create_key(c->path);
    else if (auto *d = std::get_if<DeleteKey>(&op))
        registry.delete_key(d->path);
    else if (auto *s = std::get_if<SetValue>(&op))
        registry.set_value(s->path, s->value.name, s->value.type, s->value.data);
    else if (auto *v = std::get_if<DeleteValue>(&op))
        registry.delete_value(v->path, v->name);
}

// ---- Writing ------------------------------------------------------------------

class Writer {
  public:
    explicit Writer(const Registry &registry) : registry_(registry) {}

    std::string write(std::string_view path) {
        out_ << kHeader << "\n\n";
        if (iequal(path, "\\Registry")) {
            key(std::string(kMachine));
            key(std::string(kUser));
        } else {
            key(registry_.stored_path(path));
        }
        return out_.str();
    }

  private:
    // `path` and its subtree, parents first, each level in insertion order.
    void key(const std::string &path) {
        std::vector<RegValue> values = registry_.values(path);
        bool hive = iequal(path, kMachine) || iequal(path, kUser);
        if (!hive || !values.empty()) {
            out_ << "[" << reg_name(path) << "]\n";
            for (const RegValue &v : values)
                value(path, v);
            out_ << "\n";
        }
        for (const std::string &sub : registry_.subkeys(path))
            key(path + "\\" + sub);
    }

    static std::string reg_name(const std::string &path) {
        for (char c : path)
            if (c == '\r' || c == '\n')
                throw HostError("key '" + path +
                                "' has a line break in its name; "
                                "REGEDIT4 cannot hold it");
        if (istarts_with(path, kMachine))
            return "HKEY_LOCAL_MACHINE" + path.substr(kMachine.size());
        return "HKEY_USERS" + path.substr(kUser.size());
    }

    static std::string escaped(std::string_view s) {
        std::string out = "\"";
        for (char c : s) {
            if (c == '\\' || c == '"')
                out.push_back('\\');
            out.push_back(c);
        }
        return out + "\"";
    }

    void value(const std::string &path, const RegValue &v) {
        auto cannot = [&](const std::string &why) {
            return HostError("value '" + v.name + "' of '" + path + "' " + why + "; REGEDIT4 cannot hold it");
        };
        if (v.name.find_first_of("\r\n") != std::string::npos)
            throw cannot("has a line break in its name");
        std::string lead = (v.name.empty() ? "@" : escaped(v.name)) + "=";
        switch (v.type) {
        case kRegSz:
        case kRegExpandSz: {
            if (!reg::is_clean_sz(v.data))
                throw cannot("is a " + reg::type_name(v.type) + " whose data is not NUL-terminated UTF-16 text");
            std::string text = reg::sz_text(v.data);
            if (v.type == kRegSz && text.find_first_of("\r\n") == std::string::npos) {
                out_ << lead << escaped(text) << "\n";
                return;
            }
            text.push_back('\0');
            hex(lead, v.type, {text.begin(), text.end()});
            return;
        }
        case kRegMultiSz: {
            if (!reg::is_clean_multi_sz(v.data))
                throw cannot("is a REG_MULTI_SZ whose data is not a NUL-terminated list of "
                             "UTF-16 strings");
            std::vector<std::uint8_t> bytes;
            for (const std::string &s : reg::multi_sz_strings(v.data)) {
                bytes.insert(bytes.end(), s.begin(), s.end());
                bytes.push_back(0);
            }
            bytes.push_back(0);
            hex(lead, v.type, bytes);
            return;
        }
        case kRegDword:
            if (v.data.size() == 4) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "dword:%02x%02x%02x%02x", v.data[3], v.data[2], v.data[1], v.data[0]);
                out_ << lead << buf << "\n";
                return;
            }
            break;
        default: break;
        }
        hex(lead, v.type, v.data);
    }

    // Bytes as regedit lays them out: lines of up to 80 columns, broken
    // after a comma with '\' and continued indented by two spaces.
    void hex(const std::string &lead, std::uint32_t type, const std::vector<std::uint8_t> &bytes) {
        char buf[24];
        if (type == kRegBinary)
            std::snprintf(buf, sizeof buf, "hex:");
        else
            std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(type));
        std::string line = lead + buf;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            std::snprintf(buf, sizeof buf, i + 1 < bytes.size() ? "%02x," : "%02x", bytes[i]);
            if (line.size() + std::strlen(buf) > 78 && line.ends_with(',')) {
                out_ << line << "\\\n";
                line = "  ";
            }
            line += buf;
        }
        out_ << line << "\n";
    }

    const Registry &registry_;
    std::ostringstream out_;
};

} // namespace

void import_reg(Registry &registry, std::string_view text, std::string_view source) {
    std::vector<Op> ops = Reader(text, source).read();
    for (const Op &op : ops)
        apply(registry, op);
}

void import_reg_file(Registry &registry, const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw HostError(file.string() + ": cannot open: " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw HostError(file.string() + ": cannot read: " + std::strerror(errno));
    import_reg(registry, text.str(), file.string());
}

std::string export_reg(const Registry &registry, std::string_view path) {
    if (!registry.key_exists(path))
        throw HostError("cannot export '" + std::string(path) + "': no such key");
    return Writer(registry).write(path);
}

} // namespace tolvanex::host
