#include "isdn/isdn_driver.h"

#include <algorithm>
#include <cstring>

#include "isdn/isdn_exchange.h"
#include "nt/kernel.h"
#include "check/trace.h"

namespace tolvanex::host {

namespace {
constexpr const char *kDeviceName = "\\Device\\PIMISDND";

std::string field_string(const std::vector<std::uint8_t> &b, std::size_t offset, std::size_t width) {
    std::string s;
    for (std::size_t i = offset; i < offset + width && i < b.size() && b[i]; ++i)
        s += static_cast<char>(b[i]);
    return s;
}

std::string fault_site(std::uint8_t command, std::uint8_t code) {
    return "isdn." + IsdnDriver::command_name(command, code);
}
} // namespace

std::string IsdnDriver::command_name(std::uint8_t command, std::uint8_t code) {
    if (command == ISDN_CLASS_CONTROL) {
        switch (code) {
        case ISDN_CODE_CALL: return "call";
        case ISDN_CODE_CALL_RESP: return "call-response";
        case ISDN_CODE_CLEAR: return "clear";
        case ISDN_CODE_CLEAR_RESP: return "clear-response";
        case ISDN_CODE_SEND: return "send";
        case ISDN_CODE_LISTEN: return "listen";
        }
    } else if (command == ISDN_CLASS_READ && code == ISDN_CODE_READ) {
        return "read";
    } else if (command == ISDN_CLASS_CANCEL && code == ISDN_CODE_CANCEL_LISTEN) {
        return "cancel-listen";
    }
    return "unknown-" + std::to_string(command) + "-" + std::to_string(code);
}

std::string IsdnDriver::message_name(std::uint8_t code) {
    switch (code) {
    case APP_FLOW_ON: return "APP_FLOW_ON";
    case APP_FLOW_OFF: return "APP_FLOW_OFF";
    case APP_CONN_IN: return "APP_CONN_IN";
    case APP_CONN_CO: return "APP_CONN_CO";
    case APP_CLEAR_IN: return "APP_CLEAR_IN";
    case APP_CLEAR_CO: return "APP_CLEAR_CO";
    case APP_DATA_IN: return "APP_DATA_IN";
    }
    return "message " + std::to_string(code);
}

IsdnDriver::IsdnDriver(Host &host) : host_(host) {}

IsdnDriver::~IsdnDriver() = default;

IsdnExchange &IsdnDriver::use_exchange() {
    if (exchange_)
        return *exchange_;
    if (const IsdnCommandRecord *c = next_unanswered())
        throw HostError("ISDN command #" + std::to_string(c->id) + " still waits for an answer: answer it before "
                        "switching to the exchange");
    exchange_ = std::make_unique<IsdnExchange>(host_, *this);
    return *exchange_;
}

IsdnExchange &IsdnDriver::exchange() {
    if (!exchange_)
        throw HostError("the ISDN driver is in scripted mode: call use_exchange() first");
    return *exchange_;
}

void IsdnDriver::attach() {
    if (device_)
        throw HostError("the ISDN driver is already attached");
    if ((device_ = host_.objects().find_device(kDeviceName)) && device_->device == this)
        return;
    device_ = host_.objects().add_device(kDeviceName, *this);
}

void IsdnDriver::detach() {
    if (!device_)
        throw HostError("the ISDN driver is not attached");
    // A driver that unloads ends every request it holds first; its clients
    // keep a stale device object that takes no more requests.
    host_.objects().remove_device(kDeviceName);
    device_ = nullptr;
    clients_ = 0;
    end_requests("the ISDN driver leaves");
}

NTSTATUS IsdnDriver::dispatch(_IRP &irp) {
    auto &objects = host_.objects();
    if (irp.code != IOCTL_PIMISDN_COMMAND || irp.input_length < ISDN_CMD_SIZE ||
        irp.output_length < irp.input_length) {
        rt::trace(TraceKind::Isdn, "refused request code " + hex32(irp.code) + " length " +
                                       std::to_string(irp.input_length));
        objects.complete(&irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (clients_ == 0) {
        rt::trace(TraceKind::Isdn, "refused a request: no client has the device open");
        objects.complete(&irp, static_cast<NTSTATUS>(0xC0000184L), 0); // STATUS_INVALID_DEVICE_STATE
        return static_cast<NTSTATUS>(0xC0000184L);
    }
    auto &b = irp.system_buffer;
    std::uint8_t command = b[0], code = b[1], hcom = b[6];
    std::string name = command_name(command, code);

    if (command == ISDN_CLASS_READ) {
        ++reads_;
        if (irp.input_length < ISDN_DATA_CMD_SIZE) {
            objects.complete(&irp, STATUS_INVALID_PARAMETER, 0);
            return STATUS_INVALID_PARAMETER;
        }
        if (rt::fault("isdn.read")) {
            finish(irp, 1, {});
            return STATUS_SUCCESS;
        }
        auto &queue = messages_[hcom];
        if (!queue.empty()) {
            IsdnMessage m = std::move(queue.front());
            queue.pop_front();
            deliver(irp, m);
            return STATUS_SUCCESS;
        }
        if (exchange_ && !exchange_->handle_in_use(hcom)) {
            rt::trace(TraceKind::Isdn, "read hCom " + std::to_string(hcom) + " refused: no call or listen holds it");
            finish(irp, kIsdnBadHandle, {});
            return STATUS_SUCCESS;
        }
        rt::trace(TraceKind::Isdn, "read hCom " + std::to_string(hcom) + " pending");
        reads_pending_[hcom].push_back(&irp);
        return STATUS_PENDING;
    }

    IsdnCommandRecord rec;
    rec.id = commands_.size() + 1;
    rec.time = host_.now();
    rec.context = host_.kernel().current().name;
    rec.command = command;
    rec.code = code;
    rec.hcom = hcom;
    rec.local_address = field_string(b, 136, ISDN_NUMBER_SIZE);
    rec.called_number = field_string(b, 169, ISDN_NUMBER_SIZE);
    rec.block.assign(b.begin(), b.begin() + irp.input_length);
    rec.irp = &irp;
    std::string text = name + " #" + std::to_string(rec.id) + " hCom " + std::to_string(hcom);
    if (!rec.local_address.empty())
        text += " local \"" + rec.local_address + "\"";
    if (!rec.called_number.empty())
        text += " number \"" + rec.called_number + "\"";
    if (code == ISDN_CODE_SEND && command == ISDN_CLASS_CONTROL)
        text += " data " + std::to_string(b[204] | (b[205] << 8)) + " bytes";
    rt::trace(TraceKind::Isdn, text);
    rec.order = host_.next_order();
    commands_.push_back(std::move(rec));
    if (on_command_)
        on_command_(commands_.back());
    IsdnCommandRecord &stored = commands_.back();

    if (rt::fault(fault_site(command, code))) {
        settle(stored.id, 1, {});
        return STATUS_SUCCESS;
    }
    if (exchange_) {
        std::uint64_t id = stored.id;
        auto reply = exchange_->command(stored);
        if (reply)
            settle(id, reply->status, reply->handle);
        exchange_->flush();
        return reply ? STATUS_SUCCESS : STATUS_PENDING;
    }
    for (const Rule &r : rules_)
        if (r.command == command && r.code == code) {
            settle(stored.id, r.status, r.hcom);
            return STATUS_SUCCESS;
        }
    return STATUS_PENDING;
}

const IsdnCommandRecord *IsdnDriver::next_unanswered() const {
    for (auto &c : commands_)
        if (!c.answered)
            return &c;
    return nullptr;
}

void IsdnDriver::answer(std::uint64_t id, std::uint32_t status, std::optional<std::uint8_t> hcom) {
    if (exchange_)
        throw HostError("the exchange answers ISDN commands in exchange mode");
    settle(id, status, hcom);
}

void IsdnDriver::settle(std::uint64_t id, std::uint32_t status, std::optional<std::uint8_t> hcom) {
    if (id == 0 || id > commands_.size())
        throw HostError("no ISDN command #" + std::to_string(id));
    IsdnCommandRecord &c = commands_[id - 1];
    if (c.answered)
        throw HostError("ISDN command #" + std::to_string(id) + " is already answered");
    c.answered = true;
    c.status = status;
    c.answer_hcom = hcom;
    _IRP *irp = c.irp;
    c.irp = nullptr;
    rt::trace(TraceKind::Isdn, command_name(c.command, c.code) + " #" + std::to_string(id) + " answered status " +
                                   std::to_string(status) + (hcom ? " hCom " + std::to_string(*hcom) : ""));
    finish(*irp, status, hcom);
}

void IsdnDriver::fail(std::uint64_t id, NTSTATUS io_status) {
    if (exchange_)
        throw HostError("the exchange answers ISDN commands in exchange mode");
    if (id == 0 || id > commands_.size())
        throw HostError("no ISDN command #" + std::to_string(id));
    IsdnCommandRecord &c = commands_[id - 1];
    if (c.answered)
        throw HostError("ISDN command #" + std::to_string(id) + " is already answered");
    if (NT_SUCCESS(io_status))
        throw HostError("fail needs a failing I/O status");
    c.answered = true;
    _IRP *irp = c.irp;
    c.irp = nullptr;
    rt::trace(TraceKind::Isdn, command_name(c.command, c.code) + " #" + std::to_string(id) + " failed with I/O status " +
                                   hex32(static_cast<std::uint32_t>(io_status)));
    host_.objects().complete(irp, io_status, 0);
}

void IsdnDriver::auto_answer(std::uint8_t command, std::uint8_t code, std::uint32_t status,
                             std::optional<std::uint8_t> hcom) {
    rules_.push_back(Rule{command, code, status, hcom});
}

void IsdnDriver::finish(_IRP &irp, std::uint32_t status, std::optional<std::uint8_t> hcom) {
    auto &b = irp.system_buffer;
    std::memcpy(b.data() + 2, &status, 4);
    if (hcom)
        b[6] = *hcom;
    host_.objects().complete(&irp, STATUS_SUCCESS, irp.output_length);
}

void IsdnDriver::deliver(_IRP &irp, const IsdnMessage &m) {
    auto &b = irp.system_buffer;
    std::uint8_t handle = b[6];
    b[1] = m.code;
    std::memcpy(b.data() + 2, &m.status, 4);
    if (m.handle)
        b[6] = *m.handle;
    std::size_t n = std::min<std::size_t>(m.number.size(), ISDN_MAX_DIGITS);
    std::memset(b.data() + 169, 0, ISDN_NUMBER_SIZE);
    std::memcpy(b.data() + 169, m.number.data(), n);
    b[202] = m.cause;
    std::size_t room = std::min<std::size_t>(ISDN_MAX_DATA, b.size() - ISDN_CMD_HEAD_SIZE);
    std::size_t len = std::min(room, m.data.size());
    auto len16 = static_cast<std::uint16_t>(len);
    std::memcpy(b.data() + 204, &len16, 2);
    if (len)
        std::memcpy(b.data() + ISDN_CMD_HEAD_SIZE, m.data.data(), len);
    std::string text = "read hCom " + std::to_string(handle) + " <- " + message_name(m.code);
    if (m.handle)
        text += " hCom " + std::to_string(*m.handle);
    if (!m.number.empty())
        text += " number \"" + m.number + "\"";
    if (m.code == APP_CLEAR_IN)
        text += " cause " + std::to_string(m.cause);
    if (!m.data.empty())
        text += " " + std::to_string(len) + " data bytes";
    if (m.status)
        text += " status " + std::to_string(m.status);
    rt::trace(TraceKind::Isdn, text);
    host_.objects().complete(&irp, STATUS_SUCCESS, irp.output_length);
}

void IsdnDriver::queue_message(std::uint8_t handle, IsdnMessage message) {
    auto &pending = reads_pending_[handle];
    if (!pending.empty()) {
        _IRP *irp = pending.front();
        pending.pop_front();
        deliver(*irp, message);
        return;
    }
    messages_[handle].push_back(std::move(message));
}

void IsdnDriver::cleanup() {
    if (clients_ > 0)
        --clients_;
    if (clients_ > 0)
        return;
    end_requests("client closed");
}

void IsdnDriver::end_requests(const char *why) {
    if (exchange_)
        exchange_->client_closed();
    std::size_t ended = 0;
    for (auto &[handle, queue] : reads_pending_) {
        while (!queue.empty()) {
            _IRP *irp = queue.front();
            queue.pop_front();
            host_.objects().complete(irp, STATUS_CANCELLED, 0);
            ++ended;
        }
    }
    for (auto &c : commands_) {
        if (!c.answered) {
            c.answered = true;
            _IRP *irp = c.irp;
            c.irp = nullptr;
            host_.objects().complete(irp, STATUS_CANCELLED, 0);
            ++ended;
        }
    }
    messages_.clear();
    rt::trace(TraceKind::Isdn, std::string(why) + ": " + std::to_string(ended) + " request(s) cancelled");
}

void IsdnDriver::post(std::uint8_t handle, IsdnMessage message) { messages_[handle].push_back(std::move(message)); }

void IsdnDriver::pump() {
    // Each round takes one read and one message afresh: a delivery may hand
    // the baton to a context that posts or reads meanwhile.
    for (;;) {
        _IRP *irp = nullptr;
        IsdnMessage m;
        for (auto &[handle, queue] : messages_) {
            auto r = reads_pending_.find(handle);
            if (queue.empty() || r == reads_pending_.end() || r->second.empty())
                continue;
            irp = r->second.front();
            r->second.pop_front();
            m = std::move(queue.front());
            queue.pop_front();
            break;
        }
        if (!irp)
            return;
        deliver(*irp, m);
    }
}

void IsdnDriver::discard(std::uint8_t handle) {
    auto it = messages_.find(handle);
    if (it == messages_.end() || it->second.empty())
        return;
    rt::trace(TraceKind::Isdn, "hCom " + std::to_string(handle) + " given out anew: " +
                                   std::to_string(it->second.size()) + " unread message(s) dropped");
    it->second.clear();
}

std::size_t IsdnDriver::pending_reads(std::uint8_t handle) const {
    auto it = reads_pending_.find(handle);
    return it == reads_pending_.end() ? 0 : it->second.size();
}

std::size_t IsdnDriver::pending_reads() const {
    std::size_t n = 0;
    for (auto &[h, q] : reads_pending_)
        n += q.size();
    return n;
}

} // namespace tolvanex::host
