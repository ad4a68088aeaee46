#include "pcap.h"

#include "host.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {
void u16(std::string &b, std::uint16_t v) {
    b += static_cast<char>(v);
    b += static_cast<char>(v >> 8);
}
void u32(std::string &b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b += static_cast<char>(v >> (8 * i));
}
void pad(std::string &b) {
    while (b.size() % 4)
        b += '\0';
}
void option(std::string &b, std::uint16_t code, const std::string &value) {
    u16(b, code);
    u16(b, static_cast<std::uint16_t>(value.size()));
    b += value;
    pad(b);
}
// A block: type, total length, body, total length again.
std::string block(std::uint32_t type, std::string body) {
    pad(body);
    std::string b;
    u32(b, type);
    u32(b, static_cast<std::uint32_t>(body.size() + 12));
    b += body;
    u32(b, static_cast<std::uint32_t>(body.size() + 12));
    return b;
}
} // namespace

Capture::Capture(const std::filesystem::path &file, Trace &trace)
    : path_(file), trace_(trace), out_(file, std::ios::binary) {
    if (!out_)
        throw HostError("cannot write the capture to " + file.string());
    std::string shb;
    u32(shb, 0x1A2B3C4D); // byte order
    u16(shb, 1);
    u16(shb, 0);
    u32(shb, 0xFFFFFFFF); // section length unknown
    u32(shb, 0xFFFFFFFF);
    option(shb, 4, "tolvanex-sim"); // shb_userappl
    u32(shb, 0);                    // opt_endofopt
    out_ << block(0x0A0D0D0A, shb);
    add_interface(kLinkTypeIsdnBlocks, "ISDN driver");
    sink_ = trace_.add_sink([this](const TraceRecord &r) { take(r); });
}

Capture::~Capture() {
    if (sink_)
        trace_.remove_sink(sink_);
}

std::uint32_t Capture::add_interface(std::uint16_t link_type, const std::string &name) {
    std::string idb;
    u16(idb, link_type);
    u16(idb, 0);
    u32(idb, 65535);
    option(idb, 2, name);               // if_name
    option(idb, 9, std::string(1, 6)); // if_tsresol: microseconds
    u32(idb, 0);
    out_ << block(1, idb);
    return interfaces_++;
}

void Capture::packet(std::uint32_t interface, Ticks time, const std::string &bytes, bool outbound,
                     const std::string &comment, bool with_dir_byte) {
    std::string data = with_dir_byte ? std::string(1, outbound ? 1 : 0) + bytes : bytes;
    auto us = static_cast<std::uint64_t>(time / 10);
    std::string epb;
    u32(epb, interface);
    u32(epb, static_cast<std::uint32_t>(us >> 32));
    u32(epb, static_cast<std::uint32_t>(us));
    u32(epb, static_cast<std::uint32_t>(data.size()));
    u32(epb, static_cast<std::uint32_t>(data.size()));
    epb += data;
    pad(epb);
    option(epb, 1, comment); // opt_comment
    std::string flags;
    u32(flags, outbound ? 2 : 1); // direction
    option(epb, 2, flags);        // epb_flags
    u32(epb, 0);
    out_ << block(6, epb);
}

void Capture::take(const TraceRecord &r) {
    auto bytes = [&](const char *key) -> const TraceText * {
        const TraceField *f = r.field(key);
        return f && f->form == TraceField::Form::Bytes ? &f->text : nullptr;
    };
    if (r.event == "exchange.connect") {
        const TraceField *dir = r.field("direction");
        last_connect_ = r.field("channel")->text.str() + (dir && dir->number ? " out " : " in ") + r.field("party")->text.str();
    } else if (r.event == "wan.line_up") {
        auto link = static_cast<std::uint32_t>(r.number("link"));
        if (!link_interface_.count(link))
            link_interface_[link] = add_interface(
                kLinkTypePppWithDir, (last_connect_.empty() ? std::string("link") : last_connect_) + " (link " +
                                         hex32(link) + ", call " + hex32(static_cast<std::uint32_t>(r.number("call"))) +
                                         ")");
    } else if (r.event == "wan.send" || r.event == "wan.receive") {
        auto it = link_interface_.find(static_cast<std::uint32_t>(r.number("link")));
        const TraceText *frame = bytes("frame");
        if (it == link_interface_.end() || !frame)
            return;
        bool out = r.event == "wan.send";
        std::string comment = "trace " + std::to_string(r.seq) + (out ? ": packet " + std::to_string(r.number("packet")) : std::string(": received")) +
                              " link " + hex32(static_cast<std::uint32_t>(r.number("link")));
        packet(it->second, r.time, frame->str(), out, comment, true);
    } else if (r.event == "isdn.command" || r.event == "isdn.answer" || r.event == "isdn.message") {
        const TraceText *b = bytes("block");
        if (!b)
            return;
        packet(0, r.time, b->str(), r.event == "isdn.command", "trace " + std::to_string(r.seq) + ": " + r.text(), false);
    }
}

void Capture::close() {
    if (sink_) {
        trace_.remove_sink(sink_);
        sink_ = 0;
    }
    out_.flush();
    if (!out_)
        throw HostError("cannot write the capture to " + path_.string());
}

} // namespace tolvanex::sim
