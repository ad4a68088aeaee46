// The NDIS wrapper: registration and loading of the miniport, calls into its
// handlers at the levels NDIS uses, the miniport timer, configuration
// handles, and the routing of the driver's indications.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host.h"
#include "ndis.h"

namespace tolvanex::host {

class Context;

struct HandlerResult {
    NDIS_STATUS status = 0;
    ULONG bytes_done = 0; // written (query) or read (set)
    ULONG bytes_needed = 0;
};

class NdisWrapper {
  public:
    explicit NdisWrapper(Host &host);
    ~NdisWrapper();

    // DriverEntry with a driver object and the service's registry path.
    NTSTATUS load(DriverEntryRoutine entry);
    // The initialise handler with a medium array, at PASSIVE_LEVEL.
    NDIS_STATUS initialize(const std::vector<NDIS_MEDIUM> &media = {NdisMediumWan}, UINT *selected = nullptr);
    // The halt handler, then the verifier's teardown checks.
    void halt();

    NDIS_STATUS reset();
    BOOLEAN check_for_hang();
    NDIS_STATUS reconfigure();
    NDIS_STATUS transfer_data();
    HandlerResult query(NDIS_OID oid, void *buffer, ULONG length);
    HandlerResult set(NDIS_OID oid, void *buffer, ULONG length);
    NDIS_STATUS send(NDIS_HANDLE link, NDIS_WAN_PACKET *packet);

    bool registered() const { return registered_; }
    bool initialized() const { return initialized_; }
    bool halted() const { return halted_; }
    const NDIS_MINIPORT_CHARACTERISTICS &characteristics() const { return chars_; }
    UINT characteristics_length() const { return chars_length_; }
    NDIS_HANDLE adapter_context() const { return adapter_context_; }
    NDIS_HANDLE adapter_handle() { return &adapter_handle_; }
    NDIS_HANDLE wrapper_handle() { return &wrapper_handle_; }
    NDIS_HANDLE configuration_context() { return &configuration_context_; }
    int open_configurations() const { return open_configs_; }
    std::uint64_t status_indications() const { return status_indications_; }
    std::uint64_t status_completes() const { return status_completes_; }

    // NT surface back-ends.
    void on_register(NDIS_HANDLE wrapper, PNDIS_MINIPORT_CHARACTERISTICS chars, UINT length, NDIS_STATUS &status);
    void on_set_attributes(NDIS_HANDLE handle, NDIS_HANDLE context);
    void on_open_configuration(NDIS_STATUS &status, NDIS_HANDLE &handle, NDIS_HANDLE context);
    void on_close_configuration(NDIS_HANDLE handle);
    void on_init_timer(PNDIS_MINIPORT_TIMER timer, PNDIS_TIMER_FUNCTION fn, PVOID context);
    void on_set_timer(PNDIS_MINIPORT_TIMER timer, UINT ms);
    bool on_cancel_timer(PNDIS_MINIPORT_TIMER timer);
    void on_indicate_status(NDIS_STATUS status, PVOID buffer, UINT size);
    void on_status_complete();
    void check_handle(NDIS_HANDLE handle, const char *operation);

    // Teardown rule: no timer set or running once halt has returned.
    void check_timers_after_halt();

  private:
    struct Timer {
        PNDIS_TIMER_FUNCTION fn = nullptr;
        PVOID context = nullptr;
        Context *ctx = nullptr;
        std::string name;
    };
    template <class F> auto call_handler(const char *name, std::uint8_t irql, F &&f);
    void timer_loop(PNDIS_MINIPORT_TIMER key);

    Host &host_;
    NDIS_MINIPORT_CHARACTERISTICS chars_{};
    UINT chars_length_ = 0;
    bool registered_ = false;
    bool initialized_ = false;
    bool halted_ = false;
    NDIS_HANDLE adapter_context_ = nullptr;
    int adapter_handle_ = 0, wrapper_handle_ = 0, configuration_context_ = 0;
    int open_configs_ = 0;
    std::map<NDIS_HANDLE, int> config_handles_;
    std::uintptr_t next_config_ = 0xC0F10000;
    std::map<PNDIS_MINIPORT_TIMER, Timer> timers_;
    std::uint64_t status_indications_ = 0, status_completes_ = 0;
    std::unique_ptr<_DRIVER_OBJECT> driver_object_;
};

} // namespace tolvanex::host
