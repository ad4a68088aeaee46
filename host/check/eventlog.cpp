#include "check/eventlog.h"

#include "runtime.h"
#include "host.h"

namespace tolvanex::host {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

void require_lang(std::string_view lang) {
    if (lang != "en" && lang != "fr")
        throw HostError("event log: unknown language '" + std::string(lang) + "' (expected \"en\" or \"fr\")");
}

// Event viewer's word for the identifier's severity bits.
std::string_view severity_word(std::uint32_t id, std::string_view lang) {
    const bool french = lang == "fr";
    switch (id >> 30) {
    case 0:
        return french ? "Succès" : "Success";
    case 1:
        return "Information";
    case 2:
        return french ? "Avertissement" : "Warning";
    default:
        return french ? "Erreur" : "Error";
    }
}

} // namespace

// Section names, %3 of the messages:
//   0  Configuration    Configuration
//   1  ISDN interface   Interface RNIS
//   3  WAN data path    Chemin de données WAN
// Section 2 is never raised; like any unknown one it shows its number.
std::string event_section_name(std::uint32_t section, std::string_view lang) {
    require_lang(lang);
    const bool french = lang == "fr";
    switch (section) {
    case 0:
        return "Configuration";
    case 1:
        return french ? "Interface RNIS" : "ISDN interface";
    case 3:
        return french ? "Chemin de données WAN" : "WAN data path";
    default:
        return std::to_string(section);
    }
}

std::string format_message(std::string_view text, std::span<const std::string> args) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != '%' || i + 1 == text.size()) {
            out += c;
            ++i;
            continue;
        }
        const char next = text[i + 1];
        if (next >= '1' && next <= '9') {
            // At most two digits: "%123" is insertion 12 followed by "3".
            std::size_t end = i + 2;
            std::size_t number = static_cast<std::size_t>(next - '0');
            if (end < text.size() && is_digit(text[end]))
                number = number * 10 + static_cast<std::size_t>(text[end++] - '0');
            if (end < text.size() && text[end] == '!') {
                const auto close = text.find('!', end + 1);
                if (close != std::string_view::npos)
                    end = close + 1;
            }
            if (number <= args.size())
                out += args[number - 1];
            else
                out += text.substr(i, end - i);
            i = end;
            continue;
        }
        switch (next) {
        case '0':
            return out;
        case 'n':
            out += "\r\n";
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case '%':
        case '.':
        case '!':
        case ' ':
            out += next;
            break;
        default:
            out += '%';
            out += next;
            break;
        }
        i += 2;
    }
    return out;
}

void EventLog::add(EventEntry entry) {
    std::string text = message_id_hex(entry.id);
    const Message *message = table_.find(entry.id);
    if (message == nullptr)
        text += " (not in the message table)";
    else if (!message->symbolic_name.empty())
        text += " " + message->symbolic_name;
    text += " section " + std::to_string(entry.section);
    if (entry.error_code != 0)
        text += " code " + message_id_hex(entry.error_code);
    for (const auto &insertion : entry.strings)
        text += " \"" + insertion + "\"";
    if (Host *host = Host::current_or_null())
        entry.order = host->next_order();
    entries_.push_back(std::move(entry));
    rt::trace(TraceKind::Event, std::move(text));
}

std::string EventLog::render(const EventEntry &entry, std::string_view lang) const {
    const std::string &text = table_.text(entry.id, lang);
    std::vector<std::string> args{std::string(kEventDriverName), std::string(kEventDeviceName),
                                  event_section_name(entry.section, lang)};
    args.insert(args.end(), entry.strings.begin(), entry.strings.end());
    return format_message(text, args);
}

std::string EventLog::render_all(std::string_view lang) const {
    require_lang(lang);
    std::string out;
    for (const auto &entry : entries_) {
        const std::string message = render(entry, lang);
        if (!out.empty())
            out += '\n';
        out += format_time(entry.time) + " " + message_id_hex(entry.id) + " ";
        out += severity_word(entry.id, lang);
        if (!entry.context.empty())
            out += " [" + entry.context + "]";
        out += '\n';
        for (const char c : message)
            if (c != '\r')
                out += c;
        if (out.back() != '\n') // a message cut short by %0
            out += '\n';
    }
    return out;
}

} // namespace tolvanex::host
