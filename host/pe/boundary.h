// The edge between host code and the NT image. The image has no unwind
// tables the host can read, so a host exception never passes through its
// frames: the import it was raised under catches it and jumps back to the
// host frame that last called into the image, which raises it again there.
// To the host this reads as the exception passing through driver frames, as
// it does in the host build of the driver.
#pragma once

#include <exception>
#include <type_traits>
#include <utility>

#include "ntdef.h"

namespace tolvanex::host::pe {

// Runs `body(arg)`, a call into the image, so that an exception raised in an
// import under it comes out of this call.
void enter_image(void (*body)(void *), void *arg);

template <class F> auto call_image(F &&f) {
    using R = decltype(f());
    if constexpr (std::is_void_v<R>) {
        enter_image([](void *p) { (*static_cast<F *>(p))(); }, &f);
    } else {
        struct Frame {
            F *f;
            R result{};
        } frame{&f};
        enter_image([](void *p) {
            auto *fr = static_cast<Frame *>(p);
            fr->result = (*fr->f)();
        }, &frame);
        return frame.result;
    }
}

// An import caught `e`: hand it to the innermost call into the image on
// this context. Does not return.
[[noreturn]] void leave_image(std::exception_ptr e);

// While an import runs: the address in the image it returns to, so reports
// name the driver routine that called, not the import's guard.
class ImportCall {
  public:
    explicit ImportCall(const void *image_return);
    ~ImportCall();
    ImportCall(const ImportCall &) = delete;
    ImportCall &operator=(const ImportCall &) = delete;
};
// The innermost import's return address on this context, or null.
const void *import_return();

// Host routines called from the image. The image keeps only the 4-byte
// stack alignment NT promises; the guard realigns to the host's 16.
#if defined(__i386__)
#define TOLVANEX_IMAGE_ENTRY __attribute__((force_align_arg_pointer))
#else
#define TOLVANEX_IMAGE_ENTRY
#endif

template <auto F, class R, class... A> struct StdcallGuard {
    TOLVANEX_IMAGE_ENTRY static R NTAPI call(A... a) {
        std::exception_ptr e;
        try {
            ImportCall c(__builtin_return_address(0));
            return F(a...);
        } catch (...) {
            e = std::current_exception();
        }
        leave_image(std::move(e));
    }
};
template <auto F, class R, class... A> struct FastcallGuard {
    TOLVANEX_IMAGE_ENTRY static R FASTCALL call(A... a) {
        std::exception_ptr e;
        try {
            ImportCall c(__builtin_return_address(0));
            return F(a...);
        } catch (...) {
            e = std::current_exception();
        }
        leave_image(std::move(e));
    }
};

// Deduce the guard from the routine's type; a routine of another calling
// convention does not convert, so the table cannot pair them wrongly.
template <auto F, class R, class... A> StdcallGuard<F, R, A...> stdcall_guard(R(NTAPI *)(A...));
template <auto F, class R, class... A> FastcallGuard<F, R, A...> fastcall_guard(R(FASTCALL *)(A...));

} // namespace tolvanex::host::pe
