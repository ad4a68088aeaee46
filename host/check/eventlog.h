// The host's event log: where the driver's event hook lands. Keeps the
// entries in the order raised and renders them with the driver's message
// table as the NT event viewer would.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host.h"
#include "check/message_table.h"

namespace tolvanex::host {

// What the driver's events put in %1 and %2.
inline constexpr std::string_view kEventDriverName = "Tolvanex";
inline constexpr std::string_view kEventDeviceName = "\\Device\\Tolvanex";

struct EventEntry {
    std::uint32_t id = 0;             // message identifier, e.g. 0x40000015
    std::uint32_t error_code = 0;     // NDIS error code; 0 for informational events
    std::uint32_t section = 0;        // 0 configuration, 1 ISDN interface, 3 WAN data path
    std::vector<std::string> strings; // insertion strings, UTF-8: %4, %5, ...
    Ticks time = 0;                   // virtual time it was raised
    std::string context;              // the context that raised it
    std::uint64_t order = 0;          // Host::next_order
};

// The section's name as %3 shows it, "en" or "fr"; a section with no name
// shows its number.
std::string event_section_name(std::uint32_t section, std::string_view lang);

// Expands a message text by FormatMessage's rules: %1..%99 take args[0..98]
// (an optional !printf format! is accepted and ignored, every argument being a
// string), %n is CR LF, %r CR, %t tab, %% %. %! and "% " the character
// itself, %0 ends the message there. An insertion with no argument, and any
// other %x, is left as it is.
std::string format_message(std::string_view text, std::span<const std::string> args);

class EventLog {
  public:
    EventLog() = default; // no table: rendering fails until one is set
    explicit EventLog(MessageTable table) : table_(std::move(table)) {}

    void set_table(MessageTable table) { table_ = std::move(table); }
    const MessageTable &table() const { return table_; }

    // Records the entry and traces it. Never throws HostError: it is reached
    // from the driver's hook, whatever identifier the driver passes.
    void add(EventEntry entry);

    const std::vector<EventEntry> &entries() const { return entries_; }
    void clear() { entries_.clear(); }

    // The message of `entry` in "en" or "fr", exactly as FormatMessage
    // returns it (CR LF line ends). HostError for an unknown identifier or
    // language.
    std::string render(const EventEntry &entry, std::string_view lang) const;

    // The whole log, one block per entry separated by a blank line:
    //   12.000150 0x40000015 Information [timer]
    //   Timeout has expired.
    // Line ends are shown as LF.
    std::string render_all(std::string_view lang) const;

  private:
    MessageTable table_;
    std::vector<EventEntry> entries_;
};

} // namespace tolvanex::host
