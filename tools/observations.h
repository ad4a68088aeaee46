// What a scenario can observe of a run, as one stream of records per kind:
// ISDN commands, TAPI events, WAN line up and down, frames NDISWAN received,
// send completions, and event-log entries. The streams are read from the
// host's own records; nothing here changes the run.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host.h"

namespace tolvanex::sim {

using FieldValue = std::variant<std::int64_t, std::string, std::vector<std::string>>;

struct Observation {
    std::uint64_t seq = 0;   // place among all records of the run, every stream together
    std::uint64_t order = 0; // the host's stamp, from which seq is made
    host::Ticks time = 0;
    std::string stream;
    // Keys are the stream's own names (literals), which last: a script's
    // table takes them by address.
    std::vector<std::pair<const char *, FieldValue>> fields;
    bool consumed = false;
    bool ignored = false;

    const FieldValue *field(std::string_view name) const;
    // "tapi LINE_CALLSTATE line=0x00007100 state=LINECALLSTATE_CONNECTED"
    std::string describe() const;
};

// The streams and the fields each record carries.
struct StreamInfo {
    const char *name;
    const char *what;
    std::vector<const char *> fields;
};
const std::vector<StreamInfo> &streams();
const StreamInfo *find_stream(std::string_view name);

class Observer {
  public:
    explicit Observer(host::Host &host) : host_(host) {}

    // Takes in whatever the host recorded since the last poll; returns the
    // number of new observations.
    std::size_t poll();

    // Observations by their place in the run: first() is the oldest still
    // kept (everything before it was consumed or ignored), end() one past
    // the newest.
    std::size_t first() const { return base_; }
    std::size_t end() const { return base_ + observations_.size(); }
    Observation &at(std::size_t index) { return observations_[index - base_]; }

    // Observations not consumed and not ignored, oldest first.
    std::vector<Observation *> open(std::string_view stream = {});

    // Marks an observation consumed or ignored: it keeps no copy of the
    // frame's bytes, and once nothing older is open it is dropped.
    void consume(Observation &o);
    void set_ignored(Observation &o, bool ignored);
    // While a stream is ignored whole (`delta` counts the rules that say
    // so), its records arrive ignored and without fields: they keep their
    // place in the numbering and cost next to nothing.
    void ignore_whole(std::string_view stream, int delta);

  private:
    Observation &add(host::Ticks time, std::uint64_t order, std::string stream);
    void drop_bytes(Observation &o);
    void trim();
    host::Host &host_;
    std::deque<Observation> observations_;
    std::size_t base_ = 0;
    std::uint64_t next_seq_ = 1;
    std::size_t isdn_ = 0, tapi_ = 0, links_ = 0, downs_ = 0, frames_ = 0, events_ = 0;
    std::vector<std::size_t> waiting_sends_; // packets not completed when last seen
    std::string spare_data_; // room of a frame's bytes let go, for the next frame's
    std::size_t packets_ = 0;
    std::vector<std::pair<std::string, int>> whole_; // streams ignored whole, by rule count
    bool whole(std::string_view stream) const;
};

} // namespace tolvanex::sim
