// The verifier: the kernel rules the host enforces. A breach stops the run
// with the rule, the context, the virtual time and the seed.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <functional>

#include "host.h"

namespace tolvanex::host {

struct Rule {
    std::string_view id;
    std::string_view text;
};

class Verifier {
  public:
    explicit Verifier(Host &host) : host_(host) {}

    // Every rule the host enforces, for listings and self-tests.
    static const std::vector<Rule> &rules();

    void require_passive(std::string_view operation);
    void require_no_lock(std::string_view operation);
    // A handler, thread routine or timer routine has just returned.
    void check_routine_return(std::string_view routine);

    // Once halt has returned: nothing of the driver may still be set, running
    // or outstanding, and no memory may still be allocated. Models above the
    // executive (NDIS's timers, NDISWAN's packets) add their own checks, so
    // the verifier needs to know nothing of them.
    void add_teardown_check(std::function<void()> check) { teardown_checks_.push_back(std::move(check)); }
    void check_teardown();

  private:
    Host &host_;
    std::vector<std::function<void()>> teardown_checks_;
};

} // namespace tolvanex::host
