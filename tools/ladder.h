// The run as a message-sequence chart: RAS and NDIS TAPI, NDISWAN, the
// miniport and its threads, the ISDN driver, the exchange and its parties,
// drawn from the trace's records. .msc (mscgen), .svg or .png (rendered
// with mscgen), or .mmd (Mermaid).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "host_records.h"

namespace tolvanex::sim {

class Ladder {
  public:
    Ladder(const std::filesystem::path &file, host::Trace &trace);
    ~Ladder();
    Ladder(const Ladder &) = delete;
    Ladder &operator=(const Ladder &) = delete;
    // Writes (and renders) the chart; HostError if that fails.
    void close();

  private:
    struct Arc {
        std::size_t from, to;
        std::string label;
    };
    void take(const host::TraceRecord &r);
    std::size_t lane(const std::string &name);
    std::string msc() const;
    std::string mermaid() const;
    std::filesystem::path path_;
    host::Trace &trace_;
    int sink_ = 0;
    std::vector<std::string> lanes_;
    std::vector<Arc> arcs_;
    std::vector<std::string> readers_ = std::vector<std::string>(256); // hCom -> thread reading it
};

} // namespace tolvanex::sim
