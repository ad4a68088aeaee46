#include "ladder.h"

#include <cstdlib>
#include <fstream>

#include "host.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {
const char *const kRas = "RAS / NDIS TAPI";
const char *const kWan = "NDISWAN";
const char *const kMiniport = "miniport (ndis)";
const char *const kIsdn = "ISDN driver";
const char *const kExchange = "exchange";

std::string thread_lane(std::string_view context) {
    if (context == "ndis")
        return kMiniport;
    return std::string(context);
}

std::string escaped(const std::string &s) {
    std::string out;
    for (char c : s)
        out += c == '"' ? std::string("\\\"") : std::string(1, c);
    return out;
}
} // namespace

Ladder::Ladder(const std::filesystem::path &file, Trace &trace) : path_(file), trace_(trace) {
    auto ext = path_.extension().string();
    if (ext != ".msc" && ext != ".svg" && ext != ".png" && ext != ".mmd")
        throw HostError("--ladder writes .msc, .svg, .png or .mmd, not '" + path_.string() + "'");
    for (const char *l : {kRas, kWan, kMiniport})
        lane(l);
    sink_ = trace_.add_sink([this](const TraceRecord &r) { take(r); });
}

Ladder::~Ladder() {
    if (sink_)
        trace_.remove_sink(sink_);
}

std::size_t Ladder::lane(const std::string &name) {
    for (std::size_t i = 0; i < lanes_.size(); ++i)
        if (lanes_[i] == name)
            return i;
    lanes_.push_back(name);
    return lanes_.size() - 1;
}

void Ladder::take(const TraceRecord &r) {
    auto text = [&](const char *key) {
        const TraceField *f = r.field(key);
        return f ? f->display() : std::string();
    };
    auto arc = [&](const std::string &from, const std::string &to, std::string label) {
        std::size_t a = lane(from), b = lane(to);
        arcs_.push_back({a, b, std::move(label)});
    };
    std::string_view e = r.event;
    if (e == "tapi.request")
        arc(kRas, kMiniport, text("op") + " " + text("oid"));
    else if (e == "tapi.answer")
        arc(kMiniport, kRas, text("status"));
    else if (e == "tapi.event")
        arc(thread_lane(r.context), kRas, text("msg") + (r.field("state") ? " " + text("state") : std::string()));
    else if (e == "wan.line_up" || e == "wan.line_down")
        arc(thread_lane(r.context), kWan, e == "wan.line_up" ? "LINE_UP" : "LINE_DOWN");
    else if (e == "wan.send")
        arc(kWan, kMiniport, "send packet " + text("packet") + " (" + text("length") + " bytes)");
    else if (e == "wan.receive")
        arc(thread_lane(r.context), kWan, "receive " + text("length") + " bytes");
    else if (e == "isdn.read.pending")
        readers_[static_cast<std::uint8_t>(r.number("hcom"))] = thread_lane(r.context);
    else if (e == "isdn.command" && text("command") != "read")
        arc(thread_lane(r.context), kIsdn, text("command") + " req " + text("req") + " hCom " + text("hcom"));
    else if (e == "isdn.answer")
        arc(kIsdn, thread_lane(r.context), text("command") + " req " + text("req") + " " + text("status"));
    else if (e == "isdn.message") {
        std::string reader = readers_[static_cast<std::uint8_t>(r.number("hcom"))];
        arc(kIsdn, reader.empty() ? std::string(kMiniport) : reader, text("message") + " hCom " + text("hcom"));
    } else if (e == "exchange.call")
        arc(kIsdn, kExchange, "call " + text("party"));
    else if (e == "exchange.ring")
        arc(kExchange, text("party"), "ring (" + text("channel") + ")");
    else if (e == "exchange.offer")
        arc(text("party"), kExchange, "call in (" + text("channel") + ")");
    else if (e == "exchange.connect")
        arc(text("party"), kExchange, "connect");
    else if (e == "exchange.clear")
        arc(text("who") == "the network" ? std::string(kExchange) : text("party"), kExchange,
            "clear, cause " + text("cause_code") + " (" + text("cause") + ")");
    else if (e == "exchange.release")
        arc(kExchange, text("party"), "released");
}

std::string Ladder::msc() const {
    std::string out = "msc {\n  hscale = \"" + std::to_string(std::max<std::size_t>(1, lanes_.size() / 3)) + "\";\n  ";
    for (std::size_t i = 0; i < lanes_.size(); ++i)
        out += (i ? ", " : "") + std::string("l") + std::to_string(i) + " [label=\"" + escaped(lanes_[i]) + "\"]";
    out += ";\n";
    for (auto &a : arcs_)
        out += "  l" + std::to_string(a.from) + (a.from == a.to ? " box l" : " => l") + std::to_string(a.to) +
               " [label=\"" + escaped(a.label) + "\"];\n";
    return out + "}\n";
}

std::string Ladder::mermaid() const {
    std::string out = "sequenceDiagram\n";
    for (std::size_t i = 0; i < lanes_.size(); ++i)
        out += "  participant l" + std::to_string(i) + " as " + lanes_[i] + "\n";
    for (auto &a : arcs_) {
        std::string label = a.label;
        for (auto &c : label)
            if (c == ';' || c == '#')
                c = ' ';
        out += "  l" + std::to_string(a.from) + "->>l" + std::to_string(a.to) + ": " + label + "\n";
    }
    return out;
}

void Ladder::close() {
    if (sink_) {
        trace_.remove_sink(sink_);
        sink_ = 0;
    }
    auto ext = path_.extension().string();
    std::filesystem::path text = ext == ".svg" || ext == ".png" ? std::filesystem::path(path_.string() + ".msc") : path_;
    {
        std::ofstream out(text);
        out << (ext == ".mmd" ? mermaid() : msc());
        if (!out)
            throw HostError("cannot write the ladder chart to " + text.string());
    }
    if (ext == ".svg" || ext == ".png") {
        std::string command = "mscgen -T " + ext.substr(1) + " -o '" + path_.string() + "' '" + text.string() +
                              "' >/dev/null 2>&1";
        int rc = std::system(command.c_str());
        std::filesystem::remove(text);
        if (rc != 0)
            throw HostError("mscgen could not render " + path_.string() + " (is mscgen installed?)");
    }
}

} // namespace tolvanex::sim
