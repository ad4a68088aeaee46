// The simulator's built-in demonstration.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tolvanex::sim {

struct DemoOptions {
    std::uint64_t seed = 0;
    bool quiet = false;
    bool real_time = false;
    std::string lang = "en";
    std::filesystem::path config;
};

// 0 when the story ran to its end; VerifierStop escapes to the caller.
int run_demo(const DemoOptions &options);

} // namespace tolvanex::sim
