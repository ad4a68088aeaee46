// Messages from the ISDN driver on live calls, written byte for byte into
// the read's block: any message code (0 and unknown ones too), any status and
// handle, a calling number that fills its field with no NUL, a data length
// that says more (or less) than the data carried. The device here stands in
// for \Device\PIMISDND so that every field can be forged; it answers each
// command at once, with a fresh handle for a call.

#include "fuzz_machine.h"

#include <deque>
#include <map>

#include "nt/io_manager.h"

using namespace tolvanex::fuzz;

namespace {

class ForgingIsdn : public Device {
  public:
    explicit ForgingIsdn(Host &host) : host_(host) {}

    NTSTATUS dispatch(_IRP &irp) override {
        auto &objects = host_.objects();
        if (irp.code != IOCTL_PIMISDN_COMMAND || irp.input_length < ISDN_CMD_SIZE ||
            irp.output_length < irp.input_length || irp.system_buffer.size() < irp.input_length) {
            objects.complete(&irp, STATUS_INVALID_DEVICE_REQUEST, 0);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        auto &b = irp.system_buffer;
        if (b[0] == ISDN_CLASS_READ) {
            if (irp.input_length < ISDN_DATA_CMD_SIZE) {
                objects.complete(&irp, STATUS_INVALID_PARAMETER, 0);
                return STATUS_INVALID_PARAMETER;
            }
            reads_[b[6]].push_back(&irp);
            return STATUS_PENDING;
        }
        std::uint32_t status = fail_next_;
        fail_next_ = 0;
        if (b[0] == ISDN_CLASS_CONTROL && b[1] == ISDN_CODE_CALL) {
            b[6] = next_handle_;
            next_handle_ = next_handle_ >= 16 ? 2 : next_handle_ + 1;
        } else if (b[0] == ISDN_CLASS_CONTROL && b[1] == ISDN_CODE_LISTEN) {
            b[6] = 1;
        }
        std::memcpy(b.data() + 2, &status, 4);
        objects.complete(&irp, STATUS_SUCCESS, irp.output_length);
        return STATUS_SUCCESS;
    }

    void cleanup() override {
        for (auto &[handle, queue] : reads_)
            while (!queue.empty()) {
                _IRP *irp = queue.front();
                queue.pop_front();
                host_.objects().complete(irp, STATUS_CANCELLED, 0);
            }
    }

    bool has_read(std::uint8_t handle) const {
        auto it = reads_.find(handle);
        return it != reads_.end() && !it->second.empty();
    }

    // Writes the forged head over a pending read's block and completes it.
    void deliver(std::uint8_t handle, Input &in) {
        _IRP *irp = reads_[handle].front();
        reads_[handle].pop_front();
        auto &b = irp->system_buffer;
        b[1] = in.u8(); // the message code, any value
        if (b[1] == APP_DATA_IN && !link_up(handle))
            b[1] = APP_FLOW_ON;
        std::uint8_t flags = in.u8();
        std::uint32_t status = (flags & 1) ? in.u32() : 0;
        std::memcpy(b.data() + 2, &status, 4);
        if (flags & 2)
            b[6] = in.u8();
        std::memset(b.data() + 169, 0, ISDN_NUMBER_SIZE);
        if (flags & 4) { // the whole field, NUL or not
            auto number = in.bytes(ISDN_NUMBER_SIZE);
            std::copy(number.begin(), number.end(), b.begin() + 169);
        }
        b[202] = in.u8();
        auto data = in.bytes(in.u16() % (ISDN_MAX_DATA + 1));
        std::uint16_t length = (flags & 8) ? in.u16() : static_cast<std::uint16_t>(data.size());
        std::memcpy(b.data() + 204, &length, 2);
        std::copy(data.begin(), data.end(), b.begin() + ISDN_CMD_HEAD_SIZE);
        NTSTATUS io = (flags & 0x10) ? STATUS_CANCELLED : STATUS_SUCCESS;
        host_.objects().complete(irp, io, irp->output_length);
    }

    void fail_next(std::uint32_t status) { fail_next_ = status; }

  private:
    Host &host_;
    std::map<std::uint8_t, std::deque<_IRP *>> reads_;
    std::uint8_t next_handle_ = 2;
    std::uint32_t fail_next_ = 0;
};

void program(Host &host, Input &in) {
    configure(host);
    ForgingIsdn isdn(host);
    // The device is there from the start, so the driver opens it at once;
    // it leaves the namespace before it is destroyed, whichever way the
    // program ends.
    host.objects().add_device("\\Device\\PIMISDND", isdn);
    struct Attached {
        Host &host;
        ~Attached() {
            try {
                host.objects().remove_device("\\Device\\PIMISDND");
            } catch (const HostError &) {
            }
        }
    } attached{host};
    if (!start(host))
        return;
    wait_for_isdn(host);
    TapiState tapi;
    open_lines(host, tapi);

    for (int step = 0; step < 64 && !in.empty(); ++step) {
        std::uint8_t op = in.u8();
        switch (op % 8) {
        case 0:
        case 1:
        case 2:
        case 3: { // a message on a handle with a read waiting, or the first one
            std::uint8_t handle = in.u8() % 17;
            if (!isdn.has_read(handle))
                for (handle = 0; handle < 17 && !isdn.has_read(handle); ++handle) {
                }
            if (handle < 17)
                isdn.deliver(handle, in);
            break;
        }
        case 4: { // the user dials
            HDRV_CALL hdcall = 0;
            if (host.ras().make_call(tapi.line(in.u8()), in.text(20), &hdcall).status == NDIS_STATUS_SUCCESS &&
                tapi.calls.size() < 64)
                tapi.calls.push_back(hdcall);
            break;
        }
        case 5: { // the user answers, drops or closes a call
            std::uint8_t what = in.u8();
            HDRV_CALL hdcall = tapi.call(in.u8());
            if (what % 3 == 0)
                host.ras().answer(hdcall);
            else if (what % 3 == 1)
                host.ras().drop(hdcall);
            else
                host.ras().close_call(hdcall);
            break;
        }
        case 6: { // NDISWAN sends on a link; the next command may fail
            const auto &links = host.ndiswan().links();
            if (!links.empty()) {
                auto frame = in.bytes(1 + in.u8());
                host.ndiswan().send(links[in.u8() % links.size()].link_handle, frame);
            }
            if (op & 0x80)
                isdn.fail_next(1 + in.u8() % 4);
            break;
        }
        case 7: host.run_for(millis(in.u16() % 8000)); break;
        }
        host.settle();
        tapi.collect(host);
    }
    host.run_for(millis(500));
    host.ndis().halt();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    return run_input([&](Host &host) {
        Input in(data, size);
        program(host, in);
    });
}
