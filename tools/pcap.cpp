#include "pcap.h"

#include <algorithm>
#include <fstream>

#include "runtime.h"

namespace tolvanex::sim {

namespace {
void u32(std::ofstream &out, std::uint32_t v) {
    char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    out.write(b, 4);
}
void u16(std::ofstream &out, std::uint16_t v) {
    char b[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
    out.write(b, 2);
}
} // namespace

void write_pcap(const std::filesystem::path &file, std::vector<PcapFrame> frames) {
    std::stable_sort(frames.begin(), frames.end(), [](auto &a, auto &b) { return a.time < b.time; });
    std::ofstream out(file, std::ios::binary);
    if (!out)
        throw host::HostError("cannot write the capture to " + file.string());
    constexpr std::uint32_t kSnapLength = 65535;
    u32(out, 0xA1B2C3D4); // microsecond stamps, little-endian
    u16(out, 2);
    u16(out, 4);
    u32(out, 0); // stamps are virtual time since boot, no zone
    u32(out, 0);
    u32(out, kSnapLength);
    u32(out, kLinkTypePppWithDir);
    for (auto &f : frames) {
        host::Ticks us = f.time / 10;
        std::uint32_t length = static_cast<std::uint32_t>(f.bytes.size() + 1);
        std::uint32_t kept = std::min(length, kSnapLength);
        u32(out, static_cast<std::uint32_t>(us / 1'000'000));
        u32(out, static_cast<std::uint32_t>(us % 1'000'000));
        u32(out, kept);
        u32(out, length);
        out.put(static_cast<char>(f.direction));
        out.write(reinterpret_cast<const char *>(f.bytes.data()), kept - 1);
    }
    if (!out)
        throw host::HostError("cannot write the capture to " + file.string());
}

} // namespace tolvanex::sim
