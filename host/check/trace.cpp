#include "check/trace.h"

#include <cstdio>

#include "nt/kernel.h"

namespace tolvanex::host {

std::string_view trace_kind_name(TraceKind kind) {
    switch (kind) {
    case TraceKind::Kernel: return "KERNEL";
    case TraceKind::Handler: return "NDIS";
    case TraceKind::Status: return "STATUS";
    case TraceKind::Wan: return "WAN";
    case TraceKind::Tapi: return "TAPI";
    case TraceKind::Isdn: return "ISDN";
    case TraceKind::Registry: return "REG";
    case TraceKind::Io: return "IO";
    case TraceKind::Fault: return "FAULT";
    case TraceKind::Event: return "EVENT";
    case TraceKind::Note: return "NOTE";
    }
    return "?";
}

std::string format_time(Ticks t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld.%06lld", static_cast<long long>(t / kTicksPerSecond),
                  static_cast<long long>((t % kTicksPerSecond) / 10));
    return buf;
}

void Trace::add(TraceKind kind, std::string text) {
    TraceRecord r{records_.size() + 1, kernel_.now(), kernel_.current().name, kind, std::move(text)};
    records_.push_back(std::move(r));
    if (sink_)
        sink_(records_.back());
}

std::string Trace::render(const TraceRecord &r) {
    char head[64];
    std::snprintf(head, sizeof head, "%12s %-14s %-6s ", format_time(r.time).c_str(), r.context.c_str(),
                  std::string(trace_kind_name(r.kind)).c_str());
    return head + r.text;
}

std::string Trace::render_all() const {
    std::string out;
    for (auto &r : records_) {
        out += render(r);
        out += '\n';
    }
    return out;
}

std::vector<const TraceRecord *> Trace::find(TraceKind kind, std::string_view needle, std::size_t from) const {
    std::vector<const TraceRecord *> hits;
    for (std::size_t i = from; i < records_.size(); ++i)
        if (records_[i].kind == kind && records_[i].text.find(needle) != std::string::npos)
            hits.push_back(&records_[i]);
    return hits;
}

std::size_t Trace::count(TraceKind kind, std::string_view needle) const { return find(kind, needle).size(); }

} // namespace tolvanex::host
