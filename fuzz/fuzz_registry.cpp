// A REGEDIT4 file imported over the usual configuration, then the driver
// loaded and initialised on it, the ISDN driver found, the provider started
// and its lines opened: every value the driver reads comes from the input.

#include "fuzz_machine.h"

#include "host_registry.h"

using namespace tolvanex::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    return run_input([&](Host &host) {
        configure(host);
        import_reg(host.registry(), std::string_view(reinterpret_cast<const char *>(data), size), "<fuzz>");
        host.isdn().attach(); // there from the start: opened at once
        host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN, 0, 1);
        host.isdn().auto_answer(ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN, 0);
        if (!start(host))
            return;
        wait_for_isdn(host);
        TapiState tapi;
        open_lines(host, tapi);
        host.run_for(seconds(1));
    });
}
