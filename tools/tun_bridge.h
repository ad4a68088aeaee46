// Real IP traffic over a simulated call. The NDISWAN end of a link and the
// exchange's remote party each get a Linux TUN device, each in a network
// namespace of its own made for the run: IP packets the Linux stack sends
// on one device cross the driver and the paced B channel as PPP frames and
// come out of the other device. Nothing leaves the machine: the namespaces
// hold a loopback and the TUN device only, and they go with the processes
// that hold them, the simulator's last one included.
//
// Everything runs in the calling context: the bridge polls its descriptors
// between steps of the host, and while it carries packets it binds virtual
// time to wall time, so latency and throughput are those of the line.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host.h"

namespace tolvanex::sim {

// The /30 of the link, present only inside the two namespaces.
constexpr const char *kTunWanAddress = "10.253.64.1";   // the NDISWAN end
constexpr const char *kTunPartyAddress = "10.253.64.2"; // the remote party
// The driver's MaxFrameSize (1500) less the PPP header FF 03 00 21.
constexpr int kTunMtu = 1496;
constexpr const char *kTunDeviceName = "tlvx0";

// The machine does not allow TUN devices or network namespaces.
struct TunUnavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class TunSide { Wan, Party };

struct TunCounters {
    std::uint64_t to_line_packets = 0, to_line_bytes = 0;     // read from the device, sent on the call
    std::uint64_t from_line_packets = 0, from_line_bytes = 0; // off the call, written to the device
    std::uint64_t dropped = 0; // not IPv4, no call to carry it, or the device would not take it
};

struct PingResult {
    int transmitted = 0, received = 0;
    std::vector<double> rtt_ms; // one per reply, in order
    int status = -1;            // ping's exit status; -1 when stopped at the limit
    std::vector<std::string> lines;
};

struct TransferResult {
    std::uint64_t bytes = 0; // received by the far end's application
    double seconds = 0;      // from the connection accepted to the last byte read
    double goodput = 0;      // bit/s of application data over those seconds
    bool complete = false;   // every byte arrived and both ends finished
    std::string detail;      // what went wrong when not complete
};

class TunBridge {
  public:
    // TunUnavailable when the machine refuses; host::HostError for a link or
    // party that is not there.
    TunBridge(host::Host &host, std::uint32_t link_handle, std::string party);
    ~TunBridge();
    TunBridge(const TunBridge &) = delete;
    TunBridge &operator=(const TunBridge &) = delete;

    // `ping -n -c count -s size -i interval` from one end to the other.
    PingResult ping(TunSide from, int count, int size, double interval, double limit_seconds);
    // `bytes` over one TCP connection from one end to the other.
    TransferResult transfer(TunSide from, std::uint64_t bytes, double limit_seconds);
    // Carries packets for this long.
    void carry(double seconds);

    const TunCounters &counters(TunSide side) const;
    // The namespace's identity, as in /proc/PID/ns/net: "net:[4026532...]".
    const std::string &namespace_id(TunSide side) const;
    // Stops every process and closes every descriptor; the namespaces and
    // devices go with them. Idempotent.
    void close();

  private:
    struct End;
    struct Job;
    End &end(TunSide side) { return *ends_[side == TunSide::Wan ? 0 : 1]; }
    const End &end(TunSide side) const { return *ends_[side == TunSide::Wan ? 0 : 1]; }
    void open_end(End &e);
    Job &spawn(End &e, std::function<void()> child);
    // Carries packets until `done` holds or `limit_seconds` of wall time pass.
    bool pump(const std::function<bool()> &done, double limit_seconds);
    // Brings virtual time up to the wall clock's reading of it.
    void catch_up();
    void from_device(End &e);
    void to_device(End &e);
    void collect(Job &j);
    void stop(Job &j);

    host::Host &host_;
    std::uint32_t link_;
    std::uint32_t link_context_ = 0;
    std::string party_;
    std::unique_ptr<End> ends_[2];
    std::deque<Job> jobs_;
    bool closed_ = false;
    std::chrono::steady_clock::time_point wall0_; // where the pump bound the clocks together
    host::Ticks virtual0_ = 0;
};

} // namespace tolvanex::sim
