// System threads as objects: the dispatcher object each driver-created thread
// gets (signalled when its routine returns) and the handles that name them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "host.h"
#include "ntkernel.h"

namespace tolvanex::host {

class Context;
class Kernel;

struct ThreadObject {
    DISPATCHER_HEADER Header;
    int context = 0;
    int references = 0;
};
constexpr UCHAR kThreadObjectType = 6;

class ThreadTable {
  public:
    explicit ThreadTable(Kernel &kernel) : kernel_(kernel) {}

    // A handle for a new thread's object, closed through ZwClose.
    void *open_handle(Context &ctx);
    bool close_handle(void *handle);
    ThreadObject *object(void *handle);
    ThreadObject *object_of(const void *object);
    // Signals the thread's object; called as the thread's routine returns.
    void ended(Context &ctx);

  private:
    Kernel &kernel_;
    std::map<void *, int> handles_;
    std::map<int, std::unique_ptr<ThreadObject>> objects_;
    std::uintptr_t next_handle_ = 0x80000004;
};

} // namespace tolvanex::host
