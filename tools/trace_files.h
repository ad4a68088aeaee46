// The trace written as the run goes: JSON Lines for tools (.jsonl, .json)
// or the timeline's text for people (any other name).
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "host_records.h"

namespace tolvanex::sim {

// What the header record says about the run.
struct RunInfo {
    std::uint64_t seed = 0;
    std::string script;
    std::string command_line;
    std::string config;        // the configuration file, or empty
    std::string config_digest; // its SHA-256, hex
};

std::string tool_version();   // "0.2.0"
std::string git_description(); // as `git describe` said at build time
std::string sha256_hex(const std::string &bytes);
// The file's SHA-256, or empty if it cannot be read.
std::string file_digest(const std::filesystem::path &file);

// One record as a JSON object: seq, time (seconds), context, kind, event,
// text, and each field under its key (Bytes as hex).
nlohmann::json record_json(const host::TraceRecord &r);

class TraceFile {
  public:
    // Opens the file (HostError if it cannot) and writes the header.
    TraceFile(const std::filesystem::path &file, host::Trace &trace, const RunInfo &info);
    ~TraceFile();
    TraceFile(const TraceFile &) = delete;
    TraceFile &operator=(const TraceFile &) = delete;
    // Flushes; HostError if anything failed to be written.
    void close();

  private:
    void write(const host::TraceRecord &r);
    std::filesystem::path path_;
    host::Trace &trace_;
    std::ofstream out_;
    bool json_ = false;
    int sink_ = 0;
};

} // namespace tolvanex::sim
