// The verifier: the kernel rules the host enforces. A breach stops the run
// with the rule, the context, the virtual time and the seed.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host.h"
#include "ntkernel.h"

namespace tolvanex::host {

class Context;

// The dispatcher object of a system thread: signalled when the thread ends.
struct ThreadObject {
    DISPATCHER_HEADER Header;
    int context = 0;
    int references = 0;
};
constexpr UCHAR kThreadObjectType = 6;

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

    // Spin-lock ownership, keyed by the lock's address.
    Context *lock_owner(const void *lock) const;
    void set_lock_owner(const void *lock, Context *owner);
    void forget_lock(const void *lock);

    // Handles of driver-created threads, closed through ZwClose.
    void *open_thread_handle(Context &ctx);
    bool close_thread_handle(void *handle);
    ThreadObject *thread_object(void *handle);
    ThreadObject *thread_object_of(const void *object);
    // Signals the thread's object; called as the thread's routine returns.
    void thread_ended(Context &ctx);

    // Once halt has returned: nothing of the driver may still be set, running
    // or outstanding, and no memory may still be allocated.
    void check_teardown();

  private:
    Host &host_;
    std::map<const void *, Context *> lock_owners_;
    std::map<void *, int> thread_handles_;
    std::map<int, std::unique_ptr<ThreadObject>> thread_objects_;
    std::uintptr_t next_handle_ = 0x80000004;
};

} // namespace tolvanex::host
