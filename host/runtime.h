// Hooks every part of the host's NT surface uses to reach the running host:
// the trace, fault injection and the verifier. Internal to host/; tests and
// tools use host.h instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace tolvanex::host {

// Under AddressSanitizer memory the driver has let go goes back to free(),
// where the sanitizer still catches a stale pointer into it; elsewhere the
// host keeps it for reuse.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kRecycle = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kRecycle = false;
#else
inline constexpr bool kRecycle = true;
#endif
#else
inline constexpr bool kRecycle = true;
#endif

// Kinds of trace record; each is rendered with its own tag.
enum class TraceKind : std::uint8_t {
    Kernel,   // threads, timers, waits worth seeing
    Handler,  // NDIS calling a miniport handler, and its result
    Status,   // status indications (TAPI events, line up and down)
    Wan,      // frames sent, completed and received
    Tapi,     // NDIS TAPI requests and answers
    Isdn,     // ISDN commands, answers and messages
    Registry, // registry reads and writes
    Io,       // object namespace and I/O requests
    Fault,    // injected faults
    Event,    // event-log entries
    Note,     // free text from tests and scripts
};

std::string_view trace_kind_name(TraceKind kind);

// Text a trace record keeps. A string literal lives as long as the program,
// so it is kept by its address and costs no copy; any other text is copied
// in: a short one into the object itself, a longer one onto the heap. Only a
// literal (or lasting()) takes the first path: a char array that is not a
// constant does not compile, so nothing points at text that goes away.
// Records are made by the dozen per frame, so the object stays small and a
// move is a copy of three words.
class TraceText {
  public:
    TraceText() = default;
    template <std::size_t N>
    consteval TraceText(const char (&literal)[N]) : ptr_(literal), size_(N - 1) {} // NOLINT: implicit
    // A pointer may point at a buffer that goes away: its text is copied.
    template <class C>
        requires std::is_same_v<C, const char *> || std::is_same_v<C, char *>
    TraceText(C text) { // NOLINT: implicit
        copy_in(text, std::char_traits<char>::length(text));
    }
    TraceText(const std::string &text) { copy_in(text.data(), text.size()); } // NOLINT: implicit
    TraceText(std::string_view text) { copy_in(text.data(), text.size()); }   // NOLINT: implicit
    // Text the caller vouches lives as long as the program (a name table's).
    static TraceText lasting(const char *text) {
        TraceText t;
        t.ptr_ = text;
        t.size_ = static_cast<std::uint32_t>(std::char_traits<char>::length(text));
        return t;
    }
    // The same text, copied once into storage that lasts as long as the
    // program; for the few names every record repeats (contexts, parties).
    static TraceText interned(std::string_view text);

    TraceText(const TraceText &o) : ptr_(o.ptr_), size_(o.size_), mode_(o.mode_) {
        if (mode_ == Mode::Small)
            std::char_traits<char>::copy(small_, o.small_, sizeof small_);
        else if (mode_ == Mode::Heap)
            copy_in(o.ptr_, o.size_);
    }
    TraceText(TraceText &&o) noexcept : ptr_(o.ptr_), size_(o.size_), mode_(o.mode_) {
        if (mode_ == Mode::Small)
            std::char_traits<char>::copy(small_, o.small_, sizeof small_);
        o.release();
    }
    TraceText &operator=(const TraceText &o) {
        if (this != &o)
            *this = TraceText(o);
        return *this;
    }
    TraceText &operator=(TraceText &&o) noexcept {
        if (this != &o) {
            drop();
            ptr_ = o.ptr_;
            size_ = o.size_;
            mode_ = o.mode_;
            if (mode_ == Mode::Small)
                std::char_traits<char>::copy(small_, o.small_, sizeof small_);
            o.release();
        }
        return *this;
    }
    ~TraceText() { drop(); }

    std::string_view view() const { return {data(), size_}; }
    operator std::string_view() const { return view(); } // NOLINT: implicit
    std::string str() const { return std::string(view()); }
    const char *data() const { return mode_ == Mode::Small ? small_ : ptr_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    char operator[](std::size_t i) const { return data()[i]; }
    const char *begin() const { return data(); }
    const char *end() const { return data() + size(); }

    friend bool operator==(const TraceText &a, std::string_view b) { return a.view() == b; }
    friend std::ostream &operator<<(std::ostream &out, const TraceText &t) { return out << t.view(); }

  private:
    enum class Mode : std::uint8_t { Lasting, Small, Heap };
    void copy_in(const char *text, std::size_t n) {
        size_ = static_cast<std::uint32_t>(n);
        if (n <= sizeof small_) {
            mode_ = Mode::Small;
            std::char_traits<char>::copy(small_, text, n);
        } else {
            char *heap = new char[n];
            std::char_traits<char>::copy(heap, text, n);
            ptr_ = heap;
            mode_ = Mode::Heap;
        }
    }
    void drop() {
        if (mode_ == Mode::Heap)
            delete[] ptr_;
    }
    void release() {
        ptr_ = nullptr;
        size_ = 0;
        mode_ = Mode::Lasting;
    }

    const char *ptr_ = nullptr; // a lasting text or the heap copy
    std::uint32_t size_ = 0;
    Mode mode_ = Mode::Lasting;
    char small_[11] = {};
};

// One decoded value of a trace record: a number shown in decimal or hex, a
// text, a value with its name (the raw number kept), or raw bytes.
struct TraceField {
    enum class Form : std::uint8_t { Number, Hex, Text, Name, Bytes };
    TraceText key;
    Form form = Form::Number;
    std::int64_t number = 0; // Number, Hex and Name
    TraceText text;          // Text and Name; the bytes themselves for Bytes

    // As the timeline shows it: 12, 0x00000103, NDIS_STATUS_PENDING, FF03C021...
    std::string display() const;
};
using TraceFields = std::vector<TraceField>;

// STATUS_OBJECT_NAME_NOT_FOUND for 0xC0000034; an unnamed status as hex.
std::string nt_status_name(std::uint32_t status);

namespace tf {
// Inline, so that a field is built where its record's list holds it.
inline TraceField num(TraceText key, std::int64_t value) { return {std::move(key), TraceField::Form::Number, value, {}}; }
inline TraceField hex(TraceText key, std::uint32_t value) { return {std::move(key), TraceField::Form::Hex, value, {}}; }
inline TraceField text(TraceText key, TraceText value) {
    return {std::move(key), TraceField::Form::Text, 0, std::move(value)};
}
inline TraceField named(TraceText key, std::uint32_t value, TraceText name) {
    return {std::move(key), TraceField::Form::Name, value, std::move(name)};
}
TraceField bytes(TraceText key, const std::uint8_t *data, std::size_t size);
// An empty field list with room, from those of records the trace let go
// (records are kept in a ring), so a record seldom allocates one.
TraceFields spare_fields();
// The fields moved into place: a braced list copies every one of them.
template <class... F> TraceFields fields(F &&...f) {
    TraceFields out = spare_fields();
    out.reserve(sizeof...(f));
    (out.push_back(std::forward<F>(f)), ...);
    return out;
}
} // namespace tf

// A clear error raised by the host's control API on bad input (a malformed
// file, an unknown path, a bad argument). Never raised into driver code.
class HostError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

namespace rt {

// Appends a trace record stamped with the virtual time and the current
// context. Safe to call with no host running (the record is dropped).
void trace(TraceKind kind, std::string text);

// A structured record: `event` names what happened ("wan.send"), `pattern`
// says how the timeline shows it, with {key} standing for a field's value.
void trace(TraceKind kind, TraceText event, TraceText pattern, TraceFields fields);

// The same, credited to `context` rather than the current one: the exchange's
// parties act on their own, whichever thread set them going.
void trace_as(TraceText context, TraceKind kind, TraceText event, TraceText pattern, TraceFields fields);

// Asks fault injection whether this call at `site` is to fail. A failure is
// traced. Returns false with no host running.
bool fault(std::string_view site);

// Verifier: `operation` may only be called at PASSIVE_LEVEL.
void require_passive(std::string_view operation);

// Verifier: `operation` may not be called with a spin lock held.
void require_no_lock(std::string_view operation);

// Verifier: a handler, thread routine or timer routine has just returned.
void routine_returned(std::string_view routine);

// ZwClose of a handle that is not a registry key's (thread handles).
long close_other_handle(void *handle);

// Verifier: stops the run with a broken kernel rule. Does not return.
[[noreturn]] void violation(std::string_view rule, std::string detail);

} // namespace rt
} // namespace tolvanex::host
