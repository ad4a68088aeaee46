// The trace: every crossing of the driver's boundaries as a record stamped
// with virtual time and the context that made it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "host.h"

namespace tolvanex::host {

struct TraceRecord {
    std::uint64_t seq = 0;
    Ticks time = 0;
    std::string context;
    TraceKind kind = TraceKind::Note;
    std::string text;
};

class Trace {
  public:
    explicit Trace(const Kernel &kernel) : kernel_(kernel) {}

    void add(TraceKind kind, std::string text);
    const std::vector<TraceRecord> &records() const { return records_; }
    void clear() { records_.clear(); }

    // Echo each record as it is made (the simulator's live timeline).
    void set_sink(std::function<void(const TraceRecord &)> sink) { sink_ = std::move(sink); }

    // "   12.000150 general    ISDN   call A hCom=1 -> status 0"
    static std::string render(const TraceRecord &r);
    std::string render_all() const;
    // Records of `kind` whose text contains `needle`, from record `from` on.
    std::vector<const TraceRecord *> find(TraceKind kind, std::string_view needle = {},
                                          std::size_t from = 0) const;
    std::size_t count(TraceKind kind, std::string_view needle = {}) const;

  private:
    const Kernel &kernel_;
    std::vector<TraceRecord> records_;
    std::function<void(const TraceRecord &)> sink_;
};

} // namespace tolvanex::host
