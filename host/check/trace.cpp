#include "check/trace.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

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

namespace {
// Bytes a Bytes field shows; a frame's head is enough to tell frames apart.
constexpr std::size_t kShownBytes = 8;
// Sinks (the trace files) across every trace: while one is attached, Bytes
// fields keep all their bytes, since a capture writes them.
int g_byte_sinks = 0;
// Field lists of records let go, emptied, for the next records to fill.
constexpr std::size_t kSpareFieldLists = 16;
constexpr std::size_t kFieldRoom = 10;
std::vector<TraceFields> g_spare_fields;

// The timeline names a timer by its routine: "timer:ZolTimerFunction" shows
// as "ZolTimerFunction", which keeps the column as narrow as the threads'.
std::string_view shown_context(std::string_view context) {
    return context.starts_with("timer:") ? context.substr(6) : context;
}
} // namespace

std::string format_time(Ticks t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld.%06lld", static_cast<long long>(t / kTicksPerSecond),
                  static_cast<long long>((t % kTicksPerSecond) / 10));
    return buf;
}

std::string TraceField::display() const {
    switch (form) {
    case Form::Number: return std::to_string(number);
    case Form::Hex: return hex32(static_cast<std::uint32_t>(number));
    case Form::Text:
    case Form::Name: return text.str();
    case Form::Bytes: {
        static const char digits[] = "0123456789ABCDEF";
        std::string out;
        for (std::size_t i = 0; i < text.size() && i < kShownBytes; ++i) {
            auto b = static_cast<std::uint8_t>(text[i]);
            out += digits[b >> 4];
            out += digits[b & 15];
        }
        // `number` is the whole length; the text may hold only the head.
        return static_cast<std::size_t>(number) > kShownBytes ? out + "..." : out;
    }
    }
    return {};
}

TraceText TraceText::interned(std::string_view text) {
    // Node-based, so a kept name never moves; never freed, as records made
    // by any host may point at it.
    static auto *names = new std::unordered_set<std::string>;
    auto it = names->find(std::string(text));
    if (it == names->end())
        it = names->emplace(text).first;
    return lasting(it->c_str());
}

namespace tf {
TraceFields spare_fields() {
    if (g_spare_fields.empty()) {
        // Room for the most any record has, so that once reused it never
        // has to grow.
        TraceFields out;
        out.reserve(kFieldRoom);
        return out;
    }
    TraceFields out = std::move(g_spare_fields.back());
    g_spare_fields.pop_back();
    return out;
}

TraceField bytes(TraceText key, const std::uint8_t *data, std::size_t size) {
    // The timeline shows the head and "..."; only the files write all of it.
    std::size_t kept = g_byte_sinks > 0 ? size : std::min<std::size_t>(size, kShownBytes);
    return {std::move(key), TraceField::Form::Bytes, static_cast<std::int64_t>(size),
            TraceText(std::string_view(reinterpret_cast<const char *>(data), kept))};
}
} // namespace tf

std::string TraceRecord::text() const {
    std::string_view pattern = this->pattern.view();
    std::string out;
    out.reserve(pattern.size() + 16);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (c == '{') {
            auto close = pattern.find('}', i);
            if (close != std::string_view::npos) {
                std::string_view key(pattern.data() + i + 1, close - i - 1);
                if (auto *f = field(key)) {
                    out += f->display();
                    i = close;
                    continue;
                }
            }
        }
        out += c;
    }
    return out;
}

const TraceField *TraceRecord::field(std::string_view key) const {
    for (auto &f : fields)
        if (f.key == key)
            return &f;
    return nullptr;
}

std::int64_t TraceRecord::number(std::string_view key, std::int64_t otherwise) const {
    auto *f = field(key);
    return f && f->form != TraceField::Form::Text ? f->number : otherwise;
}

void Trace::add(TraceKind kind, std::string text) {
    add(kind, kind == TraceKind::Note ? TraceText("note") : TraceText("text"), TraceText("{text}"),
        tf::fields(tf::text("text", std::move(text))));
}

void Trace::add(TraceKind kind, TraceText &&event, TraceText &&pattern, TraceFields &&fields,
                TraceText &&context) {
    auto &slots = records_.slots_;
    TraceRecord *slot;
    if (limit_ && slots.size() >= limit_) {
        // Full: the newest record takes the oldest one's slot, filled in
        // place; its old field list goes back for reuse.
        slot = &slots[records_.head_];
        if (++records_.head_ == slots.size())
            records_.head_ = 0;
        recycle(*slot);
    } else {
        slot = &slots.emplace_back(); // the ring is in order whenever it has room
    }
    TraceRecord &r = *slot;
    r.seq = next_seq_++;
    r.time = kernel_.now();
    if (context.empty())
        r.context = kernel_.current().trace_name;
    else
        r.context = std::move(context);
    r.kind = kind;
    r.event = std::move(event);
    r.pattern = std::move(pattern);
    r.fields = std::move(fields);
    if (r.context.size() > context_width_)
        context_width_ = std::max(context_width_, shown_context(r.context).size());
    const TraceRecord &last = r;
    if (sink_)
        sink_(last);
    for (auto &[id, sink] : sinks_)
        sink(last);
}

Trace::~Trace() { g_byte_sinks -= static_cast<int>(sinks_.size()); }

void Trace::set_limit(std::size_t limit) {
    limit_ = limit;
    // Oldest first from the first slot again, then the oldest beyond the
    // limit let go.
    auto &slots = records_.slots_;
    std::rotate(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(records_.head_), slots.end());
    records_.head_ = 0;
    while (limit_ && slots.size() > limit_) {
        recycle(slots.front());
        slots.pop_front();
    }
}

void Trace::recycle(TraceRecord &r) {
    if (g_spare_fields.size() < kSpareFieldLists && r.fields.capacity() > 0) {
        r.fields.clear();
        g_spare_fields.push_back(std::move(r.fields));
    } else {
        r.fields = TraceFields();
    }
}

int Trace::add_sink(std::function<void(const TraceRecord &)> sink) {
    sinks_.emplace_back(next_sink_, std::move(sink));
    ++g_byte_sinks;
    return next_sink_++;
}

void Trace::remove_sink(int id) {
    g_byte_sinks -= static_cast<int>(std::erase_if(sinks_, [id](auto &s) { return s.first == id; }));
}

std::string Trace::render(const TraceRecord &r, std::size_t width) {
    char head[96];
    std::snprintf(head, sizeof head, "%12s %-*s %-6s ", format_time(r.time).c_str(), static_cast<int>(width),
                  std::string(shown_context(r.context)).c_str(), std::string(trace_kind_name(r.kind)).c_str());
    return head + r.text();
}

std::string Trace::render_all() const {
    std::size_t width = 16;
    for (auto &r : records_)
        width = std::max(width, shown_context(r.context).size());
    std::string out;
    for (auto &r : records_) {
        out += render(r, width);
        out += '\n';
    }
    return out;
}

std::vector<const TraceRecord *> Trace::find(TraceKind kind, std::string_view needle, std::size_t from) const {
    std::vector<const TraceRecord *> hits;
    for (std::size_t i = from; i < records_.size(); ++i)
        if (records_[i].kind == kind && (needle.empty() || records_[i].text().find(needle) != std::string::npos))
            hits.push_back(&records_[i]);
    return hits;
}

std::size_t Trace::count(TraceKind kind, std::string_view needle) const { return find(kind, needle).size(); }

std::vector<const TraceRecord *> Trace::events(std::string_view event, std::size_t from) const {
    std::vector<const TraceRecord *> hits;
    for (std::size_t i = from; i < records_.size(); ++i)
        if (records_[i].event == event)
            hits.push_back(&records_[i]);
    return hits;
}

} // namespace tolvanex::host
