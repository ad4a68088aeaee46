// WAN frames as a capture file: pcap, link type PPP_WITH_DIR, one record per
// frame with its direction, stamped with virtual time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "host.h"

namespace tolvanex::sim {

struct PcapFrame {
    enum class Direction : std::uint8_t { Received = 0, Sent = 1 }; // as this machine sees it
    host::Ticks time = 0;
    Direction direction = Direction::Sent;
    std::vector<std::uint8_t> bytes;
};

constexpr std::uint32_t kLinkTypePppWithDir = 204;

// Sorted by time (stable); HostError if the file cannot be written.
void write_pcap(const std::filesystem::path &file, std::vector<PcapFrame> frames);

} // namespace tolvanex::sim
