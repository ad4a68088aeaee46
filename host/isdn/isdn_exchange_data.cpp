// The exchange's data path: frames the driver sends, the per-call transmit
// queue with its flow-control marks, 64 kbit/s pacing of each B channel,
// and what the parties send back (echo, streams) or do (clear after a time).

#include <algorithm>
#include <cstring>

#include "isdn/isdn_driver.h"
#include "isdn/isdn_exchange.h"
#include "check/trace.h"

namespace tolvanex::host {

namespace {
void trace(std::string text) {
    rt::trace_as("exchange", TraceKind::Isdn, "exchange", "{text}", {tf::text("text", std::move(text))});
}
std::string hcom(std::uint8_t h) {
    return "hCom " + std::to_string(h);
}
std::string frames(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " frame" : " frames");
}
} // namespace

// 64 kbit/s: one byte holds the channel 125 us.
Ticks IsdnExchange::line_time(std::size_t bytes) {
    return static_cast<Ticks>(bytes) * 1250;
}

std::vector<std::uint8_t> IsdnExchange::pattern(std::size_t k, std::size_t bytes) {
    std::vector<std::uint8_t> v(bytes);
    for (std::size_t i = 0; i < bytes; ++i)
        v[i] = static_cast<std::uint8_t>((k + i) & 0xFF);
    return v;
}

namespace {
constexpr std::uint32_t kStreamMagic = 0x5354524D; // the streams' own, never a party's echo
void put32(std::vector<std::uint8_t> &v, std::size_t at, std::uint32_t x) {
    v[at] = static_cast<std::uint8_t>(x >> 24);
    v[at + 1] = static_cast<std::uint8_t>(x >> 16);
    v[at + 2] = static_cast<std::uint8_t>(x >> 8);
    v[at + 3] = static_cast<std::uint8_t>(x);
}
} // namespace

std::vector<std::uint8_t> IsdnExchange::discard_frame(std::size_t k, std::size_t bytes) {
    std::vector<std::uint8_t> v = pattern(k, bytes);
    if (bytes < 12 || bytes - 4 > 0xFFFF)
        return v;
    v[0] = 0xFF, v[1] = 0x03, v[2] = 0xC0, v[3] = 0x21; // LCP
    v[4] = 0x0B;                                         // Discard-Request
    v[5] = static_cast<std::uint8_t>(k);
    v[6] = static_cast<std::uint8_t>((bytes - 4) >> 8);
    v[7] = static_cast<std::uint8_t>(bytes - 4);
    put32(v, 8, kStreamMagic);
    return v;
}

std::vector<std::uint8_t> IsdnExchange::ip_frame(std::size_t k, std::size_t bytes) {
    std::vector<std::uint8_t> v = pattern(k, bytes);
    if (bytes < 24 || bytes - 4 > 0xFFFF)
        return v;
    v[0] = 0xFF, v[1] = 0x03, v[2] = 0x00, v[3] = 0x21; // IPv4
    std::uint8_t *ip = v.data() + 4;
    std::size_t total = bytes - 4;
    const std::uint8_t header[20] = {0x45, 0, static_cast<std::uint8_t>(total >> 8), static_cast<std::uint8_t>(total),
                                     static_cast<std::uint8_t>(k >> 8), static_cast<std::uint8_t>(k), 0x40, 0, 64, 253,
                                     0, 0, 10, 0, 0, 1, 10, 0, 0, 2};
    std::memcpy(ip, header, 20);
    std::uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2)
        sum += static_cast<std::uint32_t>(ip[i] << 8 | ip[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    auto check = static_cast<std::uint16_t>(~sum);
    ip[10] = static_cast<std::uint8_t>(check >> 8);
    ip[11] = static_cast<std::uint8_t>(check);
    return v;
}

std::uint32_t IsdnExchange::party_magic(const std::string &number) {
    std::uint32_t h = 2166136261u; // FNV-1a
    for (char c : number)
        h = (h ^ static_cast<std::uint8_t>(c)) * 16777619u;
    return h ? h : 1;
}

std::vector<std::uint8_t> IsdnExchange::echo_reply(const std::string &number, std::vector<std::uint8_t> frame) {
    // FF 03 C0 21, code 9, id, length, magic: an LCP Echo-Request, answered
    // in the frame's own bytes.
    if (frame.size() < 12 || frame[0] != 0xFF || frame[1] != 0x03 || frame[2] != 0xC0 || frame[3] != 0x21 ||
        frame[4] != 0x09)
        return frame;
    frame[4] = 0x0A;
    put32(frame, 8, party_magic(number));
    return frame;
}

void IsdnExchange::set_pacing(bool on) {
    pacing_ = on;
    trace(std::string("exchange: pacing at 64 kbit/s ") + (on ? "on" : "off"));
}

void IsdnExchange::set_flow_marks(std::size_t high, std::size_t low, std::size_t capacity) {
    if (!(low < high && high <= capacity))
        throw HostError("flow marks need low < high <= capacity (got high " + std::to_string(high) + ", low " +
                        std::to_string(low) + ", capacity " + std::to_string(capacity) + ")");
    marks_ = FlowMarks{high, low, capacity};
    trace("exchange: flow off at " + frames(high) + " queued, on at " + std::to_string(low) + ", sends wait at " +
          std::to_string(capacity));
}

std::array<ChannelStats, 2> IsdnExchange::channels() const {
    std::array<ChannelStats, 2> out;
    for (int ch = 0; ch < 2; ++ch) {
        out[ch] = channels_[ch].stats;
        if (std::uint64_t id = channels_[ch].call) {
            out[ch].handle = calls_[id - 1].info.handle;
            out[ch].queued = calls_[id - 1].tx.size();
        }
    }
    return out;
}

std::optional<IsdnExchange::Reply> IsdnExchange::send(std::uint64_t command, std::uint8_t handle,
                                                      const std::vector<std::uint8_t> &block) {
    Call *c = call_by_handle(handle);
    if (!c) {
        trace("exchange: send on " + hcom(handle) + ": no call has it");
        return Reply{kIsdnBadHandle};
    }
    if (c->info.state != IsdnCallState::Connected) {
        trace("exchange: send on " + describe(*c) + ", which is " + std::string(isdn_call_state_name(c->info.state)) +
              ": refused");
        return Reply{kIsdnWrongState};
    }
    std::uint16_t length = 0;
    if (block.size() >= ISDN_CMD_HEAD_SIZE)
        std::memcpy(&length, block.data() + 204, 2);
    if (length > ISDN_MAX_DATA || block.size() < ISDN_CMD_HEAD_SIZE + std::size_t{length}) {
        trace("exchange: send of " + std::to_string(length) + " bytes in a block of " + std::to_string(block.size()) +
              ": refused");
        return Reply{kIsdnBadLength};
    }
    Frame f{std::vector<std::uint8_t>(block.begin() + ISDN_CMD_HEAD_SIZE, block.begin() + ISDN_CMD_HEAD_SIZE + length)};
    if (!pacing_ && c->tx.empty()) {
        to_party(*c, std::move(f.data)); // an idle unpaced line takes the frame as it comes
        return Reply{kIsdnOk};
    }
    if (c->tx.size() >= marks_.capacity) {
        f.command = command;
        c->waiting.push_back(std::move(f));
        trace("exchange: send #" + std::to_string(command) + " on " + describe(*c) + " waits: " + frames(c->tx.size()) +
              " queued");
        return std::nullopt;
    }
    enqueue(*c, std::move(f));
    return Reply{kIsdnOk};
}

void IsdnExchange::enqueue(Call &c, Frame frame) {
    c.tx.push_back(std::move(frame));
    if (!c.flow_off && c.tx.size() >= marks_.high) {
        c.flow_off = true;
        ++channels_[c.info.channel].stats.flow_off;
        trace("exchange: " + frames(c.tx.size()) + " queued on " + describe(c) + ": flow off");
        post(c, APP_FLOW_OFF);
    }
    if (!c.transmitting)
        start_transmit(c);
}

void IsdnExchange::start_transmit(Call &c) {
    c.transmitting = true;
    std::uint64_t id = c.info.id;
    Ticks busy = pacing_ ? line_time(c.tx.front().data.size()) : 0;
    schedule(host_.now() + busy, id, [this, id] { transmitted(id); });
}

// The head of the queue has left on the line.
void IsdnExchange::transmitted(std::uint64_t id) {
    Call *c = find_call(id);
    if (!c || c->info.state != IsdnCallState::Connected || c->tx.empty())
        return;
    Frame f = std::move(c->tx.front());
    c->tx.pop_front();
    c->transmitting = false;
    to_party(*c, std::move(f.data));
    if (!c->waiting.empty() && c->tx.size() < marks_.capacity) {
        Frame w = std::move(c->waiting.front());
        c->waiting.pop_front();
        answer_later(w.command, kIsdnOk);
        w.command = 0;
        enqueue(*c, std::move(w));
    }
    if (c->flow_off && c->tx.size() <= marks_.low) {
        c->flow_off = false;
        ++channels_[c->info.channel].stats.flow_on;
        trace("exchange: " + frames(c->tx.size()) + " queued on " + describe(*c) + ": flow on");
        post(*c, APP_FLOW_ON);
    }
    if (!c->tx.empty() && !c->transmitting)
        start_transmit(*c);
}

void IsdnExchange::to_party(Call &c, std::vector<std::uint8_t> frame) {
    ChannelStats &s = channels_[c.info.channel].stats;
    ++s.frames_out;
    s.bytes_out += frame.size();
    PartyEntry *p = party(c.info.remote);
    if (!p)
        return;
    ++p->stats.frames_received;
    p->stats.bytes_received += frame.size();
    // The echo takes the frame itself unless a tap still wants to see it.
    if (p->party.echo)
        to_driver(c, echo_reply(p->party.number, p->tap ? frame : std::move(frame)));
    if (p->tap)
        p->tap(frame);
}

// A frame from the party: on an unpaced line it is there at once; on a
// paced one it arrives once the channel's receive direction has carried it.
void IsdnExchange::to_driver(Call &c, std::vector<std::uint8_t> frame) {
    if (PartyEntry *p = party(c.info.remote)) {
        ++p->stats.frames_sent;
        p->stats.bytes_sent += frame.size();
    }
    std::uint64_t id = c.info.id;
    auto arrive = [this, id](std::vector<std::uint8_t> data) {
        Call *call = find_call(id);
        if (!call || call->info.state != IsdnCallState::Connected)
            return;
        ChannelStats &s = channels_[call->info.channel].stats;
        ++s.frames_in;
        s.bytes_in += data.size();
        driver_.post(call->info.handle, IsdnMessage{.code = APP_DATA_IN, .data = std::move(data)});
    };
    if (!pacing_)
        return arrive(std::move(frame));
    Channel &ch = channels_[c.info.channel];
    ch.rx_free = std::max(ch.rx_free, host_.now()) + line_time(frame.size());
    schedule(ch.rx_free, id, [arrive, frame = std::move(frame)]() mutable { arrive(std::move(frame)); });
}

const IsdnExchange::Call *IsdnExchange::connected_call(const std::string &remote) const {
    for (const Call &c : calls_)
        if (c.info.remote == remote && c.info.state == IsdnCallState::Connected)
            return &c;
    return nullptr;
}

void IsdnExchange::tap_party(const std::string &number, std::function<void(const std::vector<std::uint8_t> &)> tap) {
    PartyEntry *p = party(number);
    if (!p)
        throw HostError("no party has the number '" + number + "'");
    p->tap = std::move(tap);
}

bool IsdnExchange::party_send(const std::string &number, std::vector<std::uint8_t> frame) {
    const Call *c = connected_call(number);
    if (!c)
        return false;
    to_driver(*find_call(c->info.id), std::move(frame));
    return true;
}

Ticks IsdnExchange::party_backlog(const std::string &number) const {
    const Call *c = connected_call(number);
    if (!c || !pacing_)
        return 0;
    return std::max<Ticks>(0, channels_[c->info.channel].rx_free - host_.now());
}

void IsdnExchange::start_party_behaviour(Call &c) {
    PartyEntry *p = party(c.info.remote);
    if (!p)
        return;
    std::uint64_t id = c.info.id;
    if (p->party.stream)
        schedule(host_.now() + p->party.stream->every, id, [this, id] { stream_frame(id); });
    if (p->party.clear_after) {
        std::uint8_t cause = p->party.clear_cause;
        schedule(host_.now() + *p->party.clear_after, id,
                 [this, id, cause, who = p->party.number] { remote_clear(id, cause, who, ""); });
    }
}

void IsdnExchange::stream_frame(std::uint64_t id) {
    Call *c = find_call(id);
    if (!c || c->info.state != IsdnCallState::Connected)
        return;
    PartyEntry *p = party(c->info.remote);
    if (!p || !p->party.stream)
        return;
    const Party::Stream s = *p->party.stream;
    to_driver(*c, discard_frame(c->stream_sent, s.bytes));
    if (++c->stream_sent < s.count || s.count == 0)
        schedule(host_.now() + s.every, id, [this, id] { stream_frame(id); });
}

// The call stops carrying data: queued frames are lost, waiting sends fail.
void IsdnExchange::drop_data(Call &c) {
    for (auto &w : c.waiting)
        answer_later(w.command, kIsdnWrongState);
    c.waiting.clear();
    c.tx.clear();
    c.transmitting = false;
    c.flow_off = false;
}

} // namespace tolvanex::host
