// The driver's event-message table, read from its message-compiler source
// (driver/messages.mc) as windmc reads it, so that the host renders events
// with exactly the texts the NT image carries.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tolvanex::host {

// A Windows language identifier, e.g. 0x409 US English, 0x40C French.
using LangId = std::uint16_t;

// One entry of LanguageNames.
struct MessageLanguage {
    std::string name; // as written in Language=, e.g. "French"
    LangId id = 0;
    std::string file; // base name of the binary windmc writes for it
};

// Top two bits of a message identifier.
enum class MessageSeverity : std::uint8_t { Success, Informational, Warning, Error };

// "0x40000015": how identifiers are shown in errors, traces and the log.
std::string message_id_hex(std::uint32_t id);

struct Message {
    std::uint32_t id = 0;                // full identifier: severity, facility, code
    std::string symbolic_name;           // empty when the source gives none
    int line = 0;                        // line of its MessageId=
    std::map<LangId, std::string> texts; // every text line ends in CR LF

    MessageSeverity severity() const { return static_cast<MessageSeverity>(id >> 30); }
};

class MessageTable {
  public:
    // An empty table; every lookup fails.
    MessageTable() = default;

    // Parses .mc source (UTF-8, LF or CRLF). `name` prefixes every error,
    // which is a HostError "name:line: what is wrong".
    static MessageTable parse(std::string_view text, std::string name);
    static MessageTable load_file(const std::filesystem::path &path);

    const std::string &name() const { return name_; }
    const std::vector<MessageLanguage> &languages() const { return languages_; }
    const std::map<std::uint32_t, Message> &messages() const { return messages_; }
    bool empty() const { return messages_.empty(); }

    // nullptr when the table has no such message.
    const Message *find(std::uint32_t id) const;

    // The text of message `id` in `lang`, "en" or "fr"; HostError when the
    // language is neither or the message or its text is missing.
    const std::string &text(std::uint32_t id, std::string_view lang) const;

  private:
    class Parser;

    std::string name_ = "<no message table>";
    std::vector<MessageLanguage> languages_;
    std::map<std::uint32_t, Message> messages_;
};

} // namespace tolvanex::host
