#include "ndis/ndis_wrapper.h"
#include "nt/races.h"

#include <cstdio>
#include <cstring>

#include "nt/io_manager.h"
#include "nt/kernel.h"
#include "nt/memory.h"
#include "ndis/ndistapi_model.h"
#include "ndis/ndiswan_model.h"
#include "check/names.h"
#include "check/trace.h"
#include "check/verifier.h"

namespace tolvanex::host {

namespace {
TraceField status_field(NDIS_STATUS status) {
    return tf::named("status", static_cast<std::uint32_t>(status), status_name(static_cast<std::uint32_t>(status)));
}
} // namespace

NdisWrapper::NdisWrapper(Host &host) : host_(host) {}
NdisWrapper::~NdisWrapper() = default;

// Runs a miniport handler in the NDIS caller's context at `irql`, traced,
// with the lock rule checked on return.
template <class F> auto NdisWrapper::call_handler(const char *name, std::uint8_t irql, F &&f) {
    Kernel &k = host_.kernel();
    if (&k.current() != &k.caller())
        throw HostError(std::string("NDIS handlers are called from the NDIS caller context only (") + name + ")");
    if (!registered_)
        throw HostError(std::string("no miniport is registered (") + name + ")");
    if (k.stopped())
        throw VerifierStop(*k.stopped()); // no driver code runs after a stop
    Context &self = k.current();
    auto saved = self.irql;
    self.irql = irql;
    struct Restore {
        Context &c;
        std::uint8_t irql;
        ~Restore() { c.irql = irql; }
    } restore{self, saved};
    // A serialised miniport's handlers run one after the other under NDIS's
    // own lock.
    races::acquire(this);
    auto result = f();
    races::release(this);
    host_.verifier().check_routine_return(name);
    return result;
}

NTSTATUS NdisWrapper::load(DriverEntryRoutine entry) {
    if (!entry)
        throw HostError("load: no DriverEntry routine");
    if (driver_object_)
        throw HostError("load: a driver is already loaded");
    driver_object_ = std::make_unique<_DRIVER_OBJECT>(_DRIVER_OBJECT{host_.options().service_name});
    std::string path = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + host_.options().service_name;
    std::u16string wpath(path.begin(), path.end());
    UNICODE_STRING reg{static_cast<USHORT>(wpath.size() * 2), static_cast<USHORT>(wpath.size() * 2),
                       wpath.data()};
    rt::trace(TraceKind::Handler, "ndis.handler", "DriverEntry {path}",
              {tf::text("handler", "DriverEntry"), tf::text("path", path)});
    NTSTATUS status = entry(driver_object_.get(), reinterpret_cast<_UNICODE_STRING *>(&reg));
    host_.verifier().check_routine_return("DriverEntry");
    rt::trace(TraceKind::Handler, "ndis.handler.result", "DriverEntry -> {status}",
              {tf::text("handler", "DriverEntry"),
               tf::named("status", static_cast<std::uint32_t>(status), nt_status_name(static_cast<std::uint32_t>(status)))});
    return status;
}

NDIS_STATUS NdisWrapper::initialize(const std::vector<NDIS_MEDIUM> &media, UINT *selected) {
    if (initialized_ && !halted_)
        throw HostError("initialize: the adapter is already initialised");
    std::vector<NDIS_MEDIUM> array = media;
    UINT index = 0xFFFFFFFF;
    NDIS_STATUS open_error = 0;
    rt::trace(TraceKind::Handler, "ndis.handler", "Initialize media={media}",
              {tf::text("handler", "Initialize"), tf::num("media", static_cast<std::int64_t>(media.size()))});
    bool was_halted = halted_;
    halted_ = false; // a new adapter: its timer runs are not runs after a halt
    NDIS_STATUS status = call_handler("Initialize", PASSIVE_LEVEL, [&] {
        return chars_.InitializeHandler(&open_error, &index, array.empty() ? nullptr : array.data(),
                                        static_cast<UINT>(array.size()), adapter_handle(), configuration_context());
    });
    rt::trace(TraceKind::Handler, "ndis.handler.result",
              status == NDIS_STATUS_SUCCESS ? "Initialize -> {status} medium index {medium}" : "Initialize -> {status}",
              {tf::text("handler", "Initialize"), status_field(status), tf::num("medium", index)});
    if (selected)
        *selected = index;
    if (status == NDIS_STATUS_SUCCESS)
        initialized_ = true;
    else
        halted_ = was_halted;
    return status;
}

void NdisWrapper::halt() {
    if (!initialized_ || halted_)
        throw HostError("halt: the adapter is not initialised");
    rt::trace(TraceKind::Handler, "ndis.handler", "Halt", {tf::text("handler", "Halt")});
    call_handler("Halt", PASSIVE_LEVEL, [&] {
        chars_.HaltHandler(adapter_context_);
        return 0;
    });
    halted_ = true;
    rt::trace(TraceKind::Handler, "ndis.handler.result", "Halt returned", {tf::text("handler", "Halt")});
    host_.verifier().check_teardown();
}

NDIS_STATUS NdisWrapper::reset() {
    BOOLEAN addressing = 0xEE;
    rt::trace(TraceKind::Handler, "ndis.handler", "Reset", {tf::text("handler", "Reset")});
    auto status = call_handler("Reset", DISPATCH_LEVEL, [&] { return chars_.ResetHandler(&addressing, adapter_context_); });
    rt::trace(TraceKind::Handler, "ndis.handler.result", "Reset -> {status}",
              {tf::text("handler", "Reset"), status_field(status)});
    return status;
}

BOOLEAN NdisWrapper::check_for_hang() {
    if (!chars_.CheckForHangHandler)
        return FALSE;
    auto r = call_handler("CheckForHang", DISPATCH_LEVEL, [&] { return chars_.CheckForHangHandler(adapter_context_); });
    rt::trace(TraceKind::Handler, "ndis.handler.result", "CheckForHang -> {hung}",
              {tf::text("handler", "CheckForHang"), tf::named("hung", r, r ? "TRUE" : "FALSE")});
    return r;
}

NDIS_STATUS NdisWrapper::reconfigure() {
    if (!chars_.ReconfigureHandler)
        return NDIS_STATUS_NOT_SUPPORTED;
    NDIS_STATUS open_error = 0;
    auto r = call_handler("Reconfigure", PASSIVE_LEVEL, [&] {
        return chars_.ReconfigureHandler(&open_error, adapter_context_, configuration_context());
    });
    rt::trace(TraceKind::Handler, "ndis.handler.result", "Reconfigure -> {status}",
              {tf::text("handler", "Reconfigure"), status_field(r)});
    return r;
}

NDIS_STATUS NdisWrapper::transfer_data() {
    if (!chars_.WanTransferDataHandler)
        return NDIS_STATUS_NOT_SUPPORTED;
    auto r = call_handler("TransferData", DISPATCH_LEVEL, [&] { return chars_.WanTransferDataHandler(); });
    rt::trace(TraceKind::Handler, "ndis.handler.result", "TransferData -> {status}",
              {tf::text("handler", "TransferData"), status_field(r)});
    return r;
}

HandlerResult NdisWrapper::query(NDIS_OID oid, void *buffer, ULONG length) {
    HandlerResult r;
    r.status = call_handler("QueryInformation", DISPATCH_LEVEL, [&] {
        return chars_.QueryInformationHandler(adapter_context_, oid, buffer, length, &r.bytes_done, &r.bytes_needed);
    });
    return r;
}

HandlerResult NdisWrapper::set(NDIS_OID oid, void *buffer, ULONG length) {
    HandlerResult r;
    r.status = call_handler("SetInformation", DISPATCH_LEVEL, [&] {
        return chars_.SetInformationHandler(adapter_context_, oid, buffer, length, &r.bytes_done, &r.bytes_needed);
    });
    return r;
}

NDIS_STATUS NdisWrapper::send(NDIS_HANDLE link, NDIS_WAN_PACKET *packet) {
    races::acquire(packet); // its last completion, if NDISWAN sends it again
    return call_handler("WanSend", DISPATCH_LEVEL,
                        [&] { return chars_.WanSendHandler(adapter_context_, link, packet); });
}

void NdisWrapper::on_register(NDIS_HANDLE wrapper, PNDIS_MINIPORT_CHARACTERISTICS chars, UINT length,
                              NDIS_STATUS &status) {
    status = NDIS_STATUS_SUCCESS;
    std::string why;
    if (wrapper != wrapper_handle())
        status = NDIS_STATUS_FAILURE, why = "unknown wrapper handle";
    else if (!chars || length != sizeof(NDIS_MINIPORT_CHARACTERISTICS))
        status = NDIS_STATUS_BAD_CHARACTERISTICS, why = "characteristics length " + std::to_string(length);
    else if (chars->MajorNdisVersion != 3 || chars->MinorNdisVersion != 0)
        status = NDIS_STATUS_BAD_VERSION, why = "version " + std::to_string(chars->MajorNdisVersion) + "." +
                                                std::to_string(chars->MinorNdisVersion);
    else if (!(chars->Reserved & NDIS_USE_WAN_WRAPPER))
        status = NDIS_STATUS_BAD_CHARACTERISTICS, why = "not a WAN miniport";
    else if (!chars->InitializeHandler || !chars->HaltHandler || !chars->QueryInformationHandler ||
             !chars->SetInformationHandler || !chars->ResetHandler || !chars->WanSendHandler)
        status = NDIS_STATUS_BAD_CHARACTERISTICS, why = "a required handler is missing";
    else if (rt::fault("NdisMRegisterMiniport"))
        status = NDIS_STATUS_RESOURCES, why = "injected";
    if (status == NDIS_STATUS_SUCCESS) {
        chars_ = *chars;
        chars_length_ = length;
        registered_ = true;
    }
    rt::trace(TraceKind::Handler, "ndis.register",
              why.empty() ? "NdisMRegisterMiniport NDIS {major}.{minor} length {length} -> {status}"
                          : "NdisMRegisterMiniport NDIS {major}.{minor} length {length} -> {status} ({why})",
              {tf::num("major", chars ? chars->MajorNdisVersion : 0), tf::num("minor", chars ? chars->MinorNdisVersion : 0),
               tf::num("length", length), status_field(status), tf::text("why", why)});
}

void NdisWrapper::check_handle(NDIS_HANDLE handle, const char *operation) {
    if (handle != adapter_handle())
        rt::violation("api.bad-argument", std::string(operation) + " with a handle that is not the miniport adapter handle");
}

void NdisWrapper::on_set_attributes(NDIS_HANDLE handle, NDIS_HANDLE context) {
    check_handle(handle, "NdisMSetAttributes");
    adapter_context_ = context;
}

void NdisWrapper::on_open_configuration(NDIS_STATUS &status, NDIS_HANDLE &handle, NDIS_HANDLE context) {
    if (context != configuration_context() || rt::fault("NdisOpenConfiguration")) {
        status = NDIS_STATUS_FAILURE;
        handle = nullptr;
    } else {
        status = NDIS_STATUS_SUCCESS;
        handle = reinterpret_cast<NDIS_HANDLE>(next_config_ += 8);
        config_handles_[handle] = 1;
        ++open_configs_;
    }
    rt::trace(TraceKind::Registry, "ndis.config.open", "NdisOpenConfiguration -> {status}", {status_field(status)});
}

void NdisWrapper::on_close_configuration(NDIS_HANDLE handle) {
    if (!config_handles_.erase(handle))
        rt::violation("api.bad-argument", "NdisCloseConfiguration with a handle that is not open");
    --open_configs_;
    rt::trace(TraceKind::Registry, "NdisCloseConfiguration");
}

void NdisWrapper::on_init_timer(PNDIS_MINIPORT_TIMER timer, PNDIS_TIMER_FUNCTION fn, PVOID context) {
    Timer &t = timers_[timer];
    host_.kernel().cancel_timer(timer);
    t.fn = fn;
    t.context = context;
    t.name = symbol_name(reinterpret_cast<const void *>(fn));
    if (!t.ctx)
        t.ctx = &host_.kernel().spawn("timer:" + t.name, ContextKind::Timer, [this, timer] { timer_loop(timer); });
}

void NdisWrapper::timer_loop(PNDIS_MINIPORT_TIMER key) {
    Kernel &k = host_.kernel();
    for (;;) {
        if (!k.take_fired(key))
            k.block(key, kNever);
        Timer &t = timers_[key];
        if (halted_)
            rt::violation("teardown.timer-running", "timer routine " + t.name + " ran after halt returned");
        Context &self = k.current();
        self.irql = DISPATCH_LEVEL;
        self.in_routine = true;
        races::acquire(key); // what the context that set the timer did before
        t.fn(nullptr, t.context, nullptr, nullptr);
        host_.verifier().check_routine_return(t.name);
        self.in_routine = false;
        self.irql = PASSIVE_LEVEL;
    }
}

void NdisWrapper::on_set_timer(PNDIS_MINIPORT_TIMER timer, UINT ms) {
    if (!timers_.count(timer))
        rt::violation("api.bad-argument", "NdisSetTimer on a timer that was never initialised");
    races::release(timer);
    host_.kernel().arm_timer(timer, host_.kernel().now() + millis(ms));
}

bool NdisWrapper::on_cancel_timer(PNDIS_MINIPORT_TIMER timer) {
    if (!timers_.count(timer))
        rt::violation("api.bad-argument", "NdisMCancelTimer on a timer that was never initialised");
    return host_.kernel().cancel_timer(timer);
}

void NdisWrapper::check_timers_after_halt() {
    for (auto &[key, t] : timers_) {
        if (host_.kernel().timer_armed(key))
            rt::violation("teardown.timer-set", "timer " + t.name + " is still set after halt");
        if (t.ctx && t.ctx->in_routine)
            rt::violation("teardown.timer-running", "timer routine " + t.name + " is running after halt");
    }
}

void NdisWrapper::on_indicate_status(NDIS_STATUS status, PVOID buffer, UINT size) {
    ++status_indications_;
    switch (static_cast<std::uint32_t>(status)) {
    case static_cast<std::uint32_t>(NDIS_STATUS_WAN_LINE_UP):
    case static_cast<std::uint32_t>(NDIS_STATUS_WAN_LINE_DOWN):
        host_.ndiswan().indicate(status, buffer, size);
        break;
    case static_cast<std::uint32_t>(NDIS_STATUS_TAPI_INDICATION):
        host_.tapi().indicate(buffer, size);
        break;
    default:
        rt::trace(TraceKind::Status, "ndis.status", "status {status} ({length} bytes)",
                  {status_field(status), tf::num("length", size)});
    }
}

void NdisWrapper::on_status_complete() { ++status_completes_; }

} // namespace tolvanex::host
