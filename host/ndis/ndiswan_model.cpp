#include "ndis/ndiswan_model.h"

#include <cstring>

#include "nt/kernel.h"
#include "ndis/ndis_wrapper.h"
#include "check/names.h"
#include "check/trace.h"

namespace tolvanex::host {

namespace {
TraceField status_field(NDIS_STATUS status) {
    auto value = static_cast<std::uint32_t>(status);
    // A named status keeps the table's text, which lasts: no copy per frame.
    for (const Named &n : name_table(NameTable::Status))
        if (n.value == value)
            return tf::named("status", value, TraceText::lasting(n.name));
    return tf::named("status", value, status_name(value));
}
} // namespace

std::uint32_t Ndiswan::handle_of(std::uint32_t context) const {
    auto it = by_context_.find(context);
    return it == by_context_.end() ? 0 : links_[it->second.newest].link_handle;
}

Ndiswan::~Ndiswan() = default;

std::size_t Ndiswan::pending() const {
    std::size_t n = 0;
    for (auto &[p, f] : in_flight_)
        n += f.pending;
    return n;
}

// Records a packet NDISWAN hands over and builds it with its paddings.
PNDIS_WAN_PACKET Ndiswan::new_packet(std::uint32_t link_handle, const std::uint8_t *frame, std::size_t size,
                                     NDIS_STATUS answer) {
    SentPacket rec;
    rec.id = packets_.size() + 1;
    rec.link_handle = link_handle;
    if (keep_bytes_)
        rec.bytes.assign(frame, frame + size);
    rec.length = size;
    rec.time = host_.now();
    rec.send_status = answer;
    packets_.push_back(std::move(rec));
    Packets::node_type node;
    if (spare_packets_.size() > kPacketQuarantine) {
        node = std::move(spare_packets_.front());
        spare_packets_.pop_front();
    } else {
        Packets fresh;
        node = fresh.extract(fresh.emplace(nullptr, InFlight{}).first);
        node.mapped().packet = std::make_unique<NDIS_WAN_PACKET>();
    }
    InFlight &f = node.mapped();
    f.index = packets_.size() - 1;
    f.pending = answer == NDIS_STATUS_PENDING;
    f.storage.assign(kHeaderPadding + size + kTailPadding, 0);
    if (size)
        std::memcpy(f.storage.data() + kHeaderPadding, frame, size);
    NDIS_WAN_PACKET *p = f.packet.get();
    std::memset(p, 0, sizeof *p);
    p->StartBuffer = f.storage.data();
    p->EndBuffer = f.storage.data() + f.storage.size();
    p->CurrentBuffer = f.storage.data() + kHeaderPadding;
    p->CurrentLength = static_cast<ULONG>(size);
    node.key() = p;
    in_flight_.insert(std::move(node));
    return p;
}

void Ndiswan::retire(Packets::iterator it) {
    if (kRecycle)
        spare_packets_.push_back(in_flight_.extract(it));
    else
        in_flight_.erase(it);
}

void Ndiswan::drop_received_bytes(std::size_t index) {
    if (!keep_bytes_ && index < received_.size()) {
        spare_bytes_ = std::move(received_[index].bytes);
        received_[index].bytes = {};
    }
}

PNDIS_WAN_PACKET Ndiswan::pend_packet(std::uint32_t link_handle, std::vector<std::uint8_t> frame) {
    return new_packet(link_handle, frame.data(), frame.size(), NDIS_STATUS_PENDING);
}

std::uint64_t Ndiswan::send(std::uint32_t link_handle, std::vector<std::uint8_t> frame) {
    return send(link_handle, frame.data(), frame.size());
}

std::uint64_t Ndiswan::send(std::uint32_t link_handle, const std::uint8_t *frame, std::size_t size) {
    // Not pending until the handler says so: a completion inside the
    // handler is legal and is kept until its answer is known.
    PNDIS_WAN_PACKET p = new_packet(link_handle, frame, size, 0);
    std::uint64_t id = packets_.size();
    rt::trace(TraceKind::Wan, "wan.send", "send packet {packet} link {link} {length} bytes {frame}",
              tf::fields(tf::num("packet", static_cast<std::int64_t>(id)), tf::hex("link", link_handle),
                         tf::num("length", static_cast<std::int64_t>(size)), tf::bytes("frame", frame, size)));
    NDIS_STATUS status = host_.ndis().send(reinterpret_cast<NDIS_HANDLE>(static_cast<std::uintptr_t>(link_handle)), p);
    packets_[id - 1].send_status = status;
    rt::trace(TraceKind::Wan, "wan.send.result", "send packet {packet} -> {status}",
              tf::fields(tf::num("packet", static_cast<std::int64_t>(id)), tf::hex("link", link_handle),
                         status_field(status)));
    auto it = in_flight_.find(p);
    if (it != in_flight_.end()) {
        if (status == NDIS_STATUS_PENDING && !packets_[id - 1].completion)
            it->second.pending = true;
        else if (status != NDIS_STATUS_PENDING)
            retire(it); // NDISWAN owns the packet again
    }
    return id;
}

void Ndiswan::send_complete(PNDIS_WAN_PACKET packet, NDIS_STATUS status) {
    auto it = in_flight_.find(packet);
    if (it == in_flight_.end())
        rt::violation("packet.bad-completion", "NdisMWanSendComplete of a packet the driver does not hold");
    SentPacket &rec = packets_[it->second.index];
    if (rec.completion)
        rt::violation("packet.bad-completion", "packet " + std::to_string(rec.id) + " completed twice");
    rec.completion = status;
    rec.completed_time = host_.now();
    rec.completed_order = host_.next_order();
    rt::trace(TraceKind::Wan, "wan.send.complete", "send complete packet {packet} {status}",
              tf::fields(tf::num("packet", static_cast<std::int64_t>(rec.id)), tf::hex("link", rec.link_handle),
                         tf::num("length", static_cast<std::int64_t>(rec.length)), status_field(status)));
    if (!keep_bytes_)
        std::vector<std::uint8_t>().swap(rec.bytes);
    // Completion inside the send handler, before it returned pending, is
    // legal: keep the packet until the handler's answer is known.
    if (it->second.pending)
        retire(it);
}

void Ndiswan::check_all_completed() {
    for (auto &[p, f] : in_flight_)
        if (f.pending && !packets_[f.index].completion)
            rt::violation("packet.never-completed",
                          "packet " + std::to_string(packets_[f.index].id) + " was pended and never completed");
}

void Ndiswan::indicate(NDIS_STATUS status, void *buffer, unsigned size) {
    if (status == NDIS_STATUS_WAN_LINE_UP) {
        if (size < sizeof(NDIS_MAC_LINE_UP))
            rt::violation("api.bad-argument", "line-up indication with " + std::to_string(size) + " bytes");
        auto *up = static_cast<NDIS_MAC_LINE_UP *>(buffer);
        LinkRecord link{};
        if (up->NdisLinkContext) {
            link.context = up->NdisLinkContext; // a change of an existing link
        } else {
            link.context = next_context_;
            next_context_ += 0x10;
            up->NdisLinkContext = link.context;
        }
        link.link_handle = up->NdisLinkHandle;
        link.connection_id = up->ConnectionWrapperID;
        link.speed = up->LinkSpeed;
        link.quality = static_cast<std::uint32_t>(up->Quality);
        link.send_window = up->SendWindow;
        link.up_time = host_.now();
        link.order = host_.next_order();
        links_.push_back(link);
        ByContext &known = by_context_[link.context];
        known.newest = links_.size() - 1;
        known.up.push_back(links_.size() - 1);
        rt::trace(TraceKind::Status, "wan.line_up",
                  "LINE_UP link {link} speed {speed} bit/s window {window} call {call} -> link context {link_context}",
                  {tf::hex("link", up->NdisLinkHandle), tf::num("speed", std::int64_t{up->LinkSpeed} * 100),
                   tf::num("window", up->SendWindow), tf::hex("call", up->ConnectionWrapperID),
                   tf::hex("link_context", link.context)});
    } else {
        if (size < sizeof(NDIS_MAC_LINE_DOWN))
            rt::violation("api.bad-argument", "line-down indication with " + std::to_string(size) + " bytes");
        auto *down = static_cast<NDIS_MAC_LINE_DOWN *>(buffer);
        downs_.push_back({down->NdisLinkContext, host_.now(), host_.next_order()});
        if (auto it = by_context_.find(down->NdisLinkContext); it != by_context_.end()) {
            for (std::size_t i : it->second.up)
                links_[i].up = false;
            it->second.up.clear();
        }
        rt::trace(TraceKind::Status, "wan.line_down", "LINE_DOWN link {link} (link context {link_context})",
                  {tf::hex("link", handle_of(down->NdisLinkContext)), tf::hex("link_context", down->NdisLinkContext)});
    }
}

NDIS_STATUS Ndiswan::receive(NDIS_HANDLE link_context, const std::uint8_t *data, unsigned size) {
    auto ctx = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(link_context));
    if (!by_context_.count(ctx))
        rt::violation("receive.unknown-link", "receive indication on link context " + hex32(ctx) +
                                                  ", which NDISWAN never handed out");
    NDIS_STATUS answer = NDIS_STATUS_SUCCESS;
    if (refuse_ || rt::fault("ndiswan.receive"))
        answer = NDIS_STATUS_FAILURE;
    std::vector<std::uint8_t> bytes = std::move(spare_bytes_);
    bytes.assign(data, data + size);
    received_.push_back(ReceivedFrame{ctx, std::move(bytes), answer, false, host_.now(), host_.next_order()});
    rt::trace(TraceKind::Wan, "wan.receive", "receive link {link} {length} bytes {frame} -> {status}",
              tf::fields(tf::hex("link", handle_of(ctx)), tf::hex("link_context", ctx), tf::num("length", size),
                         tf::bytes("frame", data, size), status_field(answer)));
    if (on_receive_)
        on_receive_(received_.back());
    return answer;
}

void Ndiswan::receive_complete(NDIS_HANDLE link_context) {
    auto ctx = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(link_context));
    for (auto it = received_.rbegin(); it != received_.rend(); ++it)
        if (it->link_context == ctx && !it->completed) {
            it->completed = true;
            break;
        }
    rt::trace(TraceKind::Wan, "wan.receive.complete", "receive complete link {link}",
              tf::fields(tf::hex("link", handle_of(ctx)), tf::hex("link_context", ctx)));
}

} // namespace tolvanex::host
