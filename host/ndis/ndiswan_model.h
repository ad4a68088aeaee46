// NDISWAN as the driver meets it: link contexts handed out at line up,
// frames received per link, packets sent through the send handler and their
// completions.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "host.h"
#include "ndis.h"
#include "ndiswan.h"

namespace tolvanex::host {

struct LinkRecord {
    std::uint32_t context = 0;     // NDISWAN's link context, handed out at line up
    std::uint32_t link_handle = 0; // the miniport's handle of the link
    std::uint32_t connection_id = 0;
    std::uint32_t speed = 0; // 100 bit/s, as indicated
    std::uint32_t quality = 0;     // NDIS_WAN_QUALITY
    std::uint32_t send_window = 0; // frames NDISWAN may have outstanding
    bool up = true;
    Ticks up_time = 0;
    std::uint64_t order = 0; // place among all line ups and downs
};

// A line-down indication, in the order given; the same link may go down
// more than once.
struct LineDownRecord {
    std::uint32_t context = 0;
    Ticks time = 0;
    std::uint64_t order = 0; // place among all line ups and downs
};

struct ReceivedFrame {
    std::uint32_t link_context = 0;
    std::vector<std::uint8_t> bytes; // empty once dropped
    NDIS_STATUS answer = 0;
    bool completed = false; // receive-complete seen for it
    Ticks time = 0;
    std::uint64_t order = 0; // Host::next_order
};

struct SentPacket {
    std::uint64_t id = 0;
    std::uint32_t link_handle = 0;
    std::vector<std::uint8_t> bytes; // the frame as handed over; empty once dropped
    std::size_t length = 0;          // the frame's length, kept when the bytes go
    NDIS_STATUS send_status = 0;     // the send handler's answer
    std::optional<NDIS_STATUS> completion;
    Ticks time = 0;           // handed to the send handler
    Ticks completed_time = 0; // completed by the driver
    std::uint64_t completed_order = 0; // Host::next_order
};

class Ndiswan {
  public:
    explicit Ndiswan(Host &host) : host_(host) {}
    ~Ndiswan();

    // Padding NDISWAN leaves around each frame it sends.
    static constexpr std::size_t kHeaderPadding = 16, kTailPadding = 16;

    // Sends one frame on the miniport's link handle; returns the id of the
    // packet, whose answer and completion are in packets().
    std::uint64_t send(std::uint32_t link_handle, std::vector<std::uint8_t> frame);
    // The same from bytes the caller holds for the call: nothing is copied
    // but into the packet itself.
    std::uint64_t send(std::uint32_t link_handle, const std::uint8_t *frame, std::size_t size);

    // A packet as if the send handler had taken it and answered pending,
    // for tests that queue frames in the driver themselves.
    PNDIS_WAN_PACKET pend_packet(std::uint32_t link_handle, std::vector<std::uint8_t> frame);

    // Called inside each receive indication, in the indicating context.
    void on_receive(std::function<void(const ReceivedFrame &)> hook) { on_receive_ = std::move(hook); }

    // Without a capture to write, a long run need not keep every frame:
    // sent frames lose their bytes once completed, received ones once the
    // reader that asked for them has taken them (drop_received_bytes).
    void keep_frame_bytes(bool keep) { keep_bytes_ = keep; }
    bool keeps_frame_bytes() const { return keep_bytes_; }
    void drop_received_bytes(std::size_t index);

    // NDISWAN refuses every received frame while set.
    void refuse_receives(bool refuse) { refuse_ = refuse; }

    const std::vector<LinkRecord> &links() const { return links_; }
    const std::vector<ReceivedFrame> &received() const { return received_; }
    const std::vector<SentPacket> &packets() const { return packets_; }
    std::uint64_t line_downs() const { return downs_.size(); }
    const std::vector<LineDownRecord> &downs() const { return downs_; }
    std::size_t pending() const;

    // Back-ends of the NDIS surface.
    void indicate(NDIS_STATUS status, void *buffer, unsigned size);
    NDIS_STATUS receive(NDIS_HANDLE link_context, const std::uint8_t *data, unsigned size);
    void receive_complete(NDIS_HANDLE link_context);
    void send_complete(PNDIS_WAN_PACKET packet, NDIS_STATUS status);
    // Teardown rule: every pended packet completed.
    void check_all_completed();

    // The miniport's handle of the link NDISWAN knows by `context`; 0 if none.
    std::uint32_t handle_of(std::uint32_t context) const;

  private:
    PNDIS_WAN_PACKET new_packet(std::uint32_t link_handle, const std::uint8_t *frame, std::size_t size,
                                NDIS_STATUS answer);
    struct InFlight {
        std::size_t index; // into packets_
        std::unique_ptr<NDIS_WAN_PACKET> packet;
        std::vector<std::uint8_t> storage;
        bool pending = false;
    };
    Host &host_;
    std::vector<LinkRecord> links_;
    // By link context: the records of links_ still up, and the newest
    // record; a run of thousands of calls must not scan them all per frame.
    struct ByContext {
        std::vector<std::size_t> up;
        std::size_t newest = 0;
    };
    std::unordered_map<std::uint32_t, ByContext> by_context_;
    std::vector<ReceivedFrame> received_;
    std::vector<std::uint8_t> spare_bytes_; // room of a frame's bytes let go, for the next frame's
    std::vector<SentPacket> packets_;
    using Packets = std::map<PNDIS_WAN_PACKET, InFlight>;
    // NDISWAN owns the packet again: it waits among the spares for reuse.
    void retire(Packets::iterator it);
    Packets in_flight_;
    // Packets NDISWAN owns again, oldest first, each with its storage. One
    // is reused only once kPacketQuarantine newer ones wait behind it, so a
    // stale completion still finds no packet in flight.
    static constexpr std::size_t kPacketQuarantine = 16;
    std::deque<Packets::node_type> spare_packets_;
    std::uint32_t next_context_ = 0x1000;
    std::vector<LineDownRecord> downs_;
    bool refuse_ = false;
    bool keep_bytes_ = true;
    std::function<void(const ReceivedFrame &)> on_receive_;
};

} // namespace tolvanex::host
