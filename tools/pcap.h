// The run as a capture file, written as it goes: pcapng with one interface
// carrying the ISDN driver's command blocks and messages (LINKTYPE_USER0,
// decoded by tools/wireshark/tolvanex.lua) and one interface per B-channel
// call carrying its PPP frames (PPP_WITH_DIR), named with the channel, the
// direction and the number. Stamped with virtual time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "host_records.h"

namespace tolvanex::sim {

constexpr std::uint16_t kLinkTypePppWithDir = 204;
constexpr std::uint16_t kLinkTypeIsdnBlocks = 147; // LINKTYPE_USER0

class Capture {
  public:
    // Opens the file (HostError if it cannot) and follows the trace.
    Capture(const std::filesystem::path &file, host::Trace &trace);
    ~Capture();
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;
    // Flushes; HostError if anything failed to be written.
    void close();

  private:
    void take(const host::TraceRecord &r);
    std::uint32_t add_interface(std::uint16_t link_type, const std::string &name);
    void packet(std::uint32_t interface, host::Ticks time, const std::string &bytes, bool outbound,
                const std::string &comment, bool with_dir_byte);
    std::filesystem::path path_;
    host::Trace &trace_;
    std::ofstream out_;
    int sink_ = 0;
    std::uint32_t interfaces_ = 0;
    std::map<std::uint32_t, std::uint32_t> link_interface_; // link handle -> interface
    std::string last_connect_;                              // "B1 out 0299887766"
};

} // namespace tolvanex::sim
