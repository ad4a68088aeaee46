#include "host.h"
#include "observations.h"

#include <algorithm>
#include <cstring>

#include "host_isdn.h"
#include "host_ndis.h"
#include "host_records.h"
#include "ndis_records.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

const std::vector<StreamInfo> &streams() {
    static const std::vector<StreamInfo> all = {
        {"isdn", "a command the driver gave the ISDN driver (reads aside)",
         {"id", "name", "class", "code", "hcom", "address", "number", "length", "thread"}},
        {"tapi", "an event the driver indicated to NDIS TAPI",
         {"msg", "line", "call", "p1", "p2", "p3", "state", "devstate"}},
        {"wan", "a line up or down the driver indicated to NDISWAN",
         {"event", "link", "context", "call", "speed", "link_speed", "quality", "send_window"}},
        {"frame", "a frame the driver handed NDISWAN", {"context", "link", "length", "data", "status"}},
        {"completion", "NDISWAN's send completed by the driver", {"packet", "link", "length", "status"}},
        {"event", "an entry the driver wrote to the event log",
         {"id", "name", "severity", "code", "section", "strings", "text", "thread"}},
    };
    return all;
}

const StreamInfo *find_stream(std::string_view name) {
    for (auto &s : streams())
        if (name == s.name)
            return &s;
    return nullptr;
}

const FieldValue *Observation::field(std::string_view name) const {
    for (auto &[k, v] : fields)
        if (k == name)
            return &v;
    return nullptr;
}

namespace {

std::string render(const std::string &key, const FieldValue &v) {
    if (auto *i = std::get_if<std::int64_t>(&v)) {
        bool handle = key == "line" || key == "call" || key == "link" || key == "context" || key == "id" ||
                      key == "p1" || key == "p2" || key == "p3" || key == "code";
        if (handle && *i > 9)
            return hex32(static_cast<std::uint32_t>(*i));
        return std::to_string(*i);
    }
    if (auto *s = std::get_if<std::string>(&v)) {
        if (key == "data") {
            std::string out;
            for (std::size_t i = 0; i < s->size() && i < 12; ++i) {
                char b[4];
                std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>((*s)[i]));
                out += b;
            }
            return s->size() > 12 ? out + "..." : out;
        }
        if (key == "text") {
            auto end = s->find_first_of("\r\n");
            return '"' + s->substr(0, end) + '"';
        }
        return '"' + *s + '"';
    }
    std::string out = "{";
    for (auto &s : std::get<std::vector<std::string>>(v))
        out += (out.size() > 1 ? ", \"" : "\"") + s + '"';
    return out + "}";
}

} // namespace

std::string Observation::describe() const {
    std::string out = stream;
    for (auto &[k, v] : fields)
        if (std::string_view(k) != "thread")
            out += ' ' + std::string(k) + '=' + render(k, v);
    return out + " at " + format_time(time);
}

Observation &Observer::add(Ticks time, std::uint64_t order, std::string stream) {
    Observation &o = observations_.emplace_back();
    o.order = order;
    o.time = time;
    o.stream = std::move(stream);
    return o;
}

bool Observer::whole(std::string_view stream) const {
    for (auto &[name, rules] : whole_)
        if (name == stream)
            return rules > 0;
    return false;
}

void Observer::ignore_whole(std::string_view stream, int delta) {
    for (auto &[name, rules] : whole_)
        if (name == stream) {
            rules += delta;
            return;
        }
    whole_.emplace_back(std::string(stream), delta);
}

std::size_t Observer::poll() {
    std::size_t before = observations_.size();
    // A record of a stream ignored whole only takes its place.
    auto skip = [&](const char *stream, Ticks time, std::uint64_t order) {
        if (!whole(stream))
            return false;
        add(time, order, stream).ignored = true;
        return true;
    };

    const auto &cmds = host_.isdn().commands();
    for (; isdn_ < cmds.size(); ++isdn_) {
        const IsdnCommandRecord &c = cmds[isdn_];
        if (skip("isdn", c.time, c.order))
            continue;
        Observation &o = add(c.time, c.order, "isdn");
        o.fields = {{"id", static_cast<std::int64_t>(c.id)},
                    {"name", IsdnDriver::command_name(c.command, c.code)},
                    {"class", static_cast<std::int64_t>(c.command)},
                    {"code", static_cast<std::int64_t>(c.code)},
                    {"hcom", static_cast<std::int64_t>(c.hcom)},
                    {"address", c.local_address},
                    {"number", c.called_number}};
        if (c.has_data_length)
            o.fields.emplace_back("length", static_cast<std::int64_t>(c.data_length));
        o.fields.emplace_back("thread", c.context);
    }

    const auto &events = host_.tapi().events();
    for (; tapi_ < events.size(); ++tapi_) {
        const NDIS_TAPI_EVENT &e = events[tapi_].event;
        if (skip("tapi", events[tapi_].time, events[tapi_].order))
            continue;
        Observation &o = add(events[tapi_].time, events[tapi_].order, "tapi");
        o.fields = {{"msg", tapi_message_name(e.ulMsg)},
                    {"line", static_cast<std::int64_t>(e.htLine)},
                    {"call", static_cast<std::int64_t>(e.htCall)},
                    {"p1", static_cast<std::int64_t>(e.ulParam1)},
                    {"p2", static_cast<std::int64_t>(e.ulParam2)},
                    {"p3", static_cast<std::int64_t>(e.ulParam3)}};
        if (e.ulMsg == LINE_CALLSTATE)
            o.fields.emplace_back("state", call_state_name(e.ulParam1));
        if (e.ulMsg == LINE_LINEDEVSTATE)
            o.fields.emplace_back("devstate", dev_state_names(e.ulParam1));
    }

    // Ups and downs in the order they were indicated, which time alone
    // does not give when several happen at one instant.
    const auto &links = host_.ndiswan().links();
    const auto &downs = host_.ndiswan().downs();
    while (links_ < links.size() || downs_ < downs.size()) {
        bool up = downs_ == downs.size() || (links_ < links.size() && links[links_].order < downs[downs_].order);
        if (up) {
            const LinkRecord &l = links[links_++];
            if (skip("wan", l.up_time, l.order))
                continue;
            Observation &o = add(l.up_time, l.order, "wan");
            o.fields = {{"event", std::string("up")},
                        {"link", static_cast<std::int64_t>(l.link_handle)},
                        {"context", static_cast<std::int64_t>(l.context)},
                        {"call", static_cast<std::int64_t>(l.connection_id)},
                        {"speed", static_cast<std::int64_t>(l.speed) * 100},
                        {"link_speed", static_cast<std::int64_t>(l.speed)},
                        {"quality", static_cast<std::int64_t>(l.quality)},
                        {"send_window", static_cast<std::int64_t>(l.send_window)}};
        } else {
            const LineDownRecord &d = downs[downs_++];
            if (skip("wan", d.time, d.order))
                continue;
            Observation &o = add(d.time, d.order, "wan");
            o.fields = {{"event", std::string("down")}, {"context", static_cast<std::int64_t>(d.context)}};
        }
    }

    const auto &received = host_.ndiswan().received();
    for (; frames_ < received.size(); ++frames_) {
        const ReceivedFrame &f = received[frames_];
        if (skip("frame", f.time, f.order)) {
            host_.ndiswan().drop_received_bytes(frames_);
            continue;
        }
        std::int64_t handle = host_.ndiswan().handle_of(f.link_context);
        Observation &o = add(f.time, f.order, "frame");
        // Built in place: a braced list would copy the frame's bytes again.
        o.fields.reserve(5);
        o.fields.emplace_back("context", static_cast<std::int64_t>(f.link_context));
        o.fields.emplace_back("link", handle);
        o.fields.emplace_back("length", static_cast<std::int64_t>(f.bytes.size()));
        std::string data = std::move(spare_data_);
        data.assign(reinterpret_cast<const char *>(f.bytes.data()), f.bytes.size());
        o.fields.emplace_back("data", std::move(data));
        o.fields.emplace_back("status", status_name(f.answer));
        host_.ndiswan().drop_received_bytes(frames_);
    }

    const auto &packets = host_.ndiswan().packets();
    for (; packets_ < packets.size(); ++packets_)
        waiting_sends_.push_back(packets_);
    std::erase_if(waiting_sends_, [&](std::size_t i) {
        const SentPacket &p = packets[i];
        if (!p.completion)
            return false;
        if (skip("completion", p.completed_time, p.completed_order))
            return true;
        Observation &o = add(p.completed_time, p.completed_order, "completion");
        o.fields = {{"packet", static_cast<std::int64_t>(p.id)},
                    {"link", static_cast<std::int64_t>(p.link_handle)},
                    {"length", static_cast<std::int64_t>(p.length)},
                    {"status", status_name(*p.completion)}};
        return true;
    });

    const auto &log = host_.event_log().entries();
    for (; events_ < log.size(); ++events_) {
        const EventEntry &e = log[events_];
        if (skip("event", e.time, e.order))
            continue;
        const Message *m = host_.event_log().table().find(e.id);
        static const char *const severities[] = {"success", "information", "warning", "error"};
        std::string text;
        try {
            text = host_.event_log().render(e, "en");
        } catch (const HostError &) {
            text.clear();
        }
        Observation &o = add(e.time, e.order, "event");
        o.fields = {{"id", static_cast<std::int64_t>(e.id)},
                    {"name", m ? m->symbolic_name : std::string()},
                    {"severity", std::string(severities[e.id >> 30])},
                    {"code", static_cast<std::int64_t>(e.error_code)},
                    {"section", static_cast<std::int64_t>(e.section)},
                    {"strings", e.strings},
                    {"text", text},
                    {"thread", e.context}};
    }

    // Records of one poll in the order they happened, numbered in it. A
    // poll brings a few, mostly in order already: an insertion sort, stable
    // like stable_sort but without the buffer stable_sort takes every time.
    auto first = observations_.begin() + static_cast<std::ptrdiff_t>(before);
    for (auto it = first; it != observations_.end(); ++it) {
        auto place = std::upper_bound(first, it, it->order,
                                      [](std::uint64_t order, const Observation &o) { return order < o.order; });
        if (place != it)
            std::rotate(place, it, it + 1);
    }
    for (std::size_t i = before; i < observations_.size(); ++i)
        observations_[i].seq = next_seq_++;
    return observations_.size() - before;
}

void Observer::drop_bytes(Observation &o) {
    for (auto &[k, v] : o.fields)
        if (std::string_view(k) == "data") {
            auto &bytes = std::get<std::string>(v);
            if (bytes.capacity() > spare_data_.capacity())
                spare_data_ = std::move(bytes);
            std::string().swap(bytes);
        }
}

void Observer::consume(Observation &o) {
    o.consumed = true;
    drop_bytes(o);
}

void Observer::set_ignored(Observation &o, bool ignored) {
    o.ignored = ignored;
    if (ignored)
        drop_bytes(o);
}

// Only the front goes: references to what stays are still good.
void Observer::trim() {
    while (!observations_.empty() && (observations_.front().consumed || observations_.front().ignored)) {
        observations_.pop_front();
        ++base_;
    }
}

std::vector<Observation *> Observer::open(std::string_view stream) {
    trim();
    std::vector<Observation *> out;
    for (auto &o : observations_)
        if (!o.consumed && !o.ignored && (stream.empty() || o.stream == stream))
            out.push_back(&o);
    return out;
}

} // namespace tolvanex::sim
