// What a run came to, for people and for tools: each call (who placed it,
// when it connected, how and why it ended), frames and bytes per channel
// each way with goodput against the 64 kbit/s line, and the verdict.
#pragma once

#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "host.h"

namespace tolvanex::sim {

nlohmann::json run_summary(host::Host &host, const std::string &verdict, int status);
void print_summary(std::ostream &out, const nlohmann::json &summary);

} // namespace tolvanex::sim
