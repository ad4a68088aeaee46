// The trace: every crossing of the driver's boundaries as a record stamped
// with virtual time and the context that made it. Records keep their decoded
// fields; text is made only when something shows or writes them.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "host.h"
#include "runtime.h"

namespace tolvanex::host {

struct TraceRecord {
    std::uint64_t seq = 0; // 1, 2, ... over the whole run
    Ticks time = 0;
    TraceText context;     // the thread, timer or actor it is credited to
    TraceKind kind = TraceKind::Note;
    TraceText event;       // "wan.send", "isdn.command", "note", ...
    TraceText pattern;     // "send packet {packet} ..."; {key} is a field
    TraceFields fields;

    std::string text() const;
    const TraceField *field(std::string_view key) const;
    // A field's number, or `otherwise` when the record has no such field.
    std::int64_t number(std::string_view key, std::int64_t otherwise = -1) const;
};

// The records a trace holds, oldest first. Once the trace has a limit they
// form a ring: the newest record takes the oldest one's slot, so letting a
// record go frees nothing. Records never move while held.
class TraceRing {
  public:
    std::size_t size() const { return slots_.size(); }
    bool empty() const { return slots_.empty(); }
    const TraceRecord &operator[](std::size_t i) const { return slots_[slot(i)]; }
    const TraceRecord &front() const { return (*this)[0]; }
    const TraceRecord &back() const { return (*this)[size() - 1]; }

    class const_iterator {
      public:
        using value_type = TraceRecord;
        using difference_type = std::ptrdiff_t;
        const_iterator() = default;
        const_iterator(const TraceRing *ring, std::size_t i) : ring_(ring), i_(i) {}
        const TraceRecord &operator*() const { return (*ring_)[i_]; }
        const TraceRecord *operator->() const { return &(*ring_)[i_]; }
        const_iterator &operator++() {
            ++i_;
            return *this;
        }
        const_iterator operator++(int) {
            auto old = *this;
            ++i_;
            return old;
        }
        bool operator==(const const_iterator &o) const { return i_ == o.i_; }

      private:
        const TraceRing *ring_ = nullptr;
        std::size_t i_ = 0;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

  private:
    friend class Trace;
    std::size_t slot(std::size_t i) const {
        std::size_t s = head_ + i;
        return s >= slots_.size() ? s - slots_.size() : s;
    }
    std::deque<TraceRecord> slots_;
    std::size_t head_ = 0; // slot of the oldest record
};

class Trace {
  public:
    explicit Trace(const Kernel &kernel) : kernel_(kernel) {}
    ~Trace();
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;

    // Free text (notes, tests): event "note" for Note, else "text".
    void add(TraceKind kind, std::string text);
    // Credited to `context`, or to the current context when it is empty.
    void add(TraceKind kind, TraceText &&event, TraceText &&pattern, TraceFields &&fields, TraceText &&context = {});

    // The records still held: all of them, or the last `limit` once a limit is set.
    const TraceRing &records() const { return records_; }
    void clear() {
        records_.slots_.clear();
        records_.head_ = 0;
    }
    void set_limit(std::size_t limit);
    std::uint64_t total() const { return next_seq_ - 1; }

    // Called with each record as it is made. The first form is the
    // simulator's live timeline; sinks added with add_sink are the files.
    void set_sink(std::function<void(const TraceRecord &)> sink) { sink_ = std::move(sink); }
    int add_sink(std::function<void(const TraceRecord &)> sink);
    void remove_sink(int id);

    // "   12.000150 GeneralThread  ISDN   call req 1 hCom 1 ..." with the
    // context column `width` wide.
    static std::string render(const TraceRecord &r, std::size_t width = 14);
    // Every record held, the context column as wide as the widest.
    std::string render_all() const;
    // Widest context seen so far (at least 16; a timer shows as its routine).
    std::size_t context_width() const { return context_width_; }
    // Records of `kind` whose text contains `needle`, from record `from` on.
    std::vector<const TraceRecord *> find(TraceKind kind, std::string_view needle = {},
                                          std::size_t from = 0) const;
    std::size_t count(TraceKind kind, std::string_view needle = {}) const;
    // Records of an event, from record `from` on.
    std::vector<const TraceRecord *> events(std::string_view event, std::size_t from = 0) const;

  private:
    // Keeps a record's field list's room for reuse as the record goes.
    static void recycle(TraceRecord &r);
    const Kernel &kernel_;
    TraceRing records_;
    std::size_t limit_ = 0;
    std::uint64_t next_seq_ = 1;
    std::size_t context_width_ = 16; // every thread and timer routine the driver names fits
    std::function<void(const TraceRecord &)> sink_;
    std::vector<std::pair<int, std::function<void(const TraceRecord &)>>> sinks_;
    int next_sink_ = 1;
};

} // namespace tolvanex::host
