#include "isdn/isdn_driver.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "isdn/isdn_exchange.h"
#include "nt/kernel.h"
#include "check/names.h"
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

// Bytes a script forged, readable in the trace.
std::string printable(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

std::string fault_site(std::uint8_t command, std::uint8_t code) {
    return "isdn." + IsdnDriver::command_name(command, code);
}
// The block as the wire has it: the head and the data bytes in use.
TraceField block_field(const std::uint8_t *block, std::size_t n) {
    if (n > ISDN_CMD_HEAD_SIZE + 1) {
        std::size_t data = block[204] | (block[205] << 8);
        n = std::min(n, ISDN_CMD_HEAD_SIZE + std::max<std::size_t>(data, 1));
    }
    return tf::bytes("block", block, n);
}
TraceField block_field(const std::vector<std::uint8_t> &block) { return block_field(block.data(), block.size()); }

// A pattern of the timeline by its shape (which optional parts it has),
// built once and kept for the run: records then keep it by address. Each
// caller's lambda is a type of its own, so each has a table of its own.
template <class Build> TraceText kept_pattern(std::uint8_t shape, Build build) {
    static std::array<std::string, 0x100> kept;
    std::string &p = kept[shape];
    if (p.empty())
        p = build();
    return TraceText::lasting(p.c_str());
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
        rt::trace(TraceKind::Isdn, "isdn.refused", "refused request code {code} length {length}",
                  {tf::hex("code", irp.code), tf::num("length", irp.input_length)});
        objects.complete(&irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (clients_ == 0) {
        rt::trace(TraceKind::Isdn, "isdn.refused", "refused a request: no client has the device open", {});
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
            rt::trace(TraceKind::Isdn, "isdn.read.refused", "read hCom {hcom} refused: no call or listen holds it",
                      {tf::num("hcom", hcom), tf::named("status", kIsdnBadHandle, isdn_status_name(kIsdnBadHandle))});
            finish(irp, kIsdnBadHandle, {});
            return STATUS_SUCCESS;
        }
        rt::trace(TraceKind::Isdn, "isdn.read.pending", "read hCom {hcom} pending", tf::fields(tf::num("hcom", hcom)));
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
    rec.block = std::move(spare_block_);
    rec.block.assign(b.begin(), b.begin() + irp.input_length);
    if (command == ISDN_CLASS_CONTROL && code == ISDN_CODE_SEND && rec.block.size() >= sizeof(ISDN_DATA_CMD)) {
        ISDN_DATA_CMD d;
        std::memcpy(&d, rec.block.data(), sizeof d);
        rec.data_length = d.data_length;
        rec.has_data_length = true;
    }
    rec.irp = &irp;
    std::size_t data_length = b[204] | (b[205] << 8);
    unsigned shape = (rec.local_address.empty() ? 0 : 1) | (rec.called_number.empty() ? 0 : 2) |
                     (code == ISDN_CODE_SEND && command == ISDN_CLASS_CONTROL ? 4 : 0);
    rt::trace(TraceKind::Isdn, "isdn.command", kept_pattern(static_cast<std::uint8_t>(shape), [&] {
                  std::string pattern = "{command} req {req} hCom {hcom}";
                  if (shape & 1)
                      pattern += " local \"{local}\"";
                  if (shape & 2)
                      pattern += " number \"{number}\"";
                  if (shape & 4)
                      pattern += " data {length} bytes";
                  return pattern;
              }),
              tf::fields(tf::named("command", code | command << 8, name),
                         tf::num("req", static_cast<std::int64_t>(rec.id)), tf::num("hcom", hcom),
                         tf::text("local", rec.local_address), tf::text("number", rec.called_number),
                         tf::num("length", static_cast<std::int64_t>(data_length)), block_field(rec.block)));
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

IsdnCommandRecord &IsdnDriver::unanswered(std::uint64_t id) {
    if (id == 0 || id > commands_.size())
        throw HostError("no ISDN command #" + std::to_string(id));
    IsdnCommandRecord &c = commands_[id - 1];
    if (c.answered)
        throw HostError("ISDN command #" + std::to_string(id) + " is already answered");
    return c;
}

void IsdnDriver::settle(std::uint64_t id, std::uint32_t status, std::optional<std::uint8_t> hcom) {
    IsdnCommandRecord &c = unanswered(id);
    c.answered = true;
    c.status = status;
    c.answer_hcom = hcom;
    if (!keep_blocks_) {
        spare_block_ = std::move(c.block);
        c.block = {};
    }
    _IRP *irp = c.irp;
    c.irp = nullptr;
    // The block as it goes back: the command with its status and handle.
    std::vector<std::uint8_t> answer = c.block;
    if (answer.size() >= 7) {
        std::memcpy(answer.data() + 2, &status, 4);
        if (hcom)
            answer[6] = *hcom;
    }
    rt::trace(TraceKind::Isdn, "isdn.answer",
              hcom ? TraceText("{command} req {req} answered {status} hCom {new_hcom}")
                   : TraceText("{command} req {req} answered {status}"),
              tf::fields(tf::named("command", c.code | c.command << 8, command_name(c.command, c.code)),
                         tf::num("req", static_cast<std::int64_t>(id)), tf::num("hcom", c.hcom),
                         tf::named("status", status, isdn_status_name(status)), tf::num("new_hcom", hcom ? *hcom : 0),
                         block_field(answer)));
    finish(*irp, status, hcom);
}

void IsdnDriver::answer_raw(std::uint64_t id, const IsdnRawAnswer &a) {
    if (exchange_)
        throw HostError("the exchange answers ISDN commands in exchange mode");
    IsdnCommandRecord &c = unanswered(id);
    _IRP &irp = *c.irp;
    auto &b = irp.system_buffer;
    std::size_t room = std::min<std::size_t>(irp.output_length, b.size());
    if (a.at > room || a.bytes.size() > room - a.at)
        throw HostError("raw answer: " + std::to_string(a.bytes.size()) + " byte(s) at " + std::to_string(a.at) +
                        " fall outside the " + std::to_string(room) + "-byte block");
    if (a.length && *a.length > irp.output_length)
        throw HostError("raw answer: a length of " + std::to_string(*a.length) + " passes the " +
                        std::to_string(irp.output_length) + "-byte output buffer");
    c.answered = true;
    c.irp = nullptr;
    if (!a.bytes.empty())
        std::memcpy(b.data() + a.at, a.bytes.data(), a.bytes.size());
    if (a.status) {
        c.status = *a.status;
        std::memcpy(b.data() + 2, &*a.status, 4);
    }
    if (a.handle)
        b[6] = *a.handle;
    c.answer_hcom = a.handle;
    std::uint32_t length = a.length.value_or(irp.output_length);
    rt::trace(TraceKind::Isdn, command_name(c.command, c.code) + " #" + std::to_string(id) + " answered raw: " +
                                   std::to_string(a.bytes.size()) + " byte(s) at " + std::to_string(a.at) +
                                   (a.status ? ", status " + std::to_string(*a.status) : "") +
                                   (a.handle ? ", hCom " + std::to_string(*a.handle) : "") + ", " +
                                   std::to_string(length) + " byte(s) returned");
    host_.objects().complete(&irp, STATUS_SUCCESS, length);
}

void IsdnDriver::fail(std::uint64_t id, NTSTATUS io_status) {
    if (exchange_)
        throw HostError("the exchange answers ISDN commands in exchange mode");
    IsdnCommandRecord &c = unanswered(id);
    if (NT_SUCCESS(io_status))
        throw HostError("fail needs a failing I/O status");
    c.answered = true;
    if (!keep_blocks_)
        std::vector<std::uint8_t>().swap(c.block);
    _IRP *irp = c.irp;
    c.irp = nullptr;
    rt::trace(TraceKind::Isdn, "isdn.failed", "{command} req {req} failed with I/O status {status}",
              {tf::named("command", c.code | c.command << 8, command_name(c.command, c.code)),
               tf::num("req", static_cast<std::int64_t>(id)), tf::num("hcom", c.hcom),
               tf::named("status", static_cast<std::uint32_t>(io_status),
                         nt_status_name(static_cast<std::uint32_t>(io_status)))});
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
    std::size_t n = std::min<std::size_t>(m.number.size(), m.raw_number ? ISDN_NUMBER_SIZE : ISDN_MAX_DIGITS);
    std::memset(b.data() + 169, 0, ISDN_NUMBER_SIZE);
    std::memcpy(b.data() + 169, m.number.data(), n);
    b[202] = m.cause;
    std::size_t room = std::min<std::size_t>(ISDN_MAX_DATA, b.size() - ISDN_CMD_HEAD_SIZE);
    std::size_t len = std::min(room, m.data.size());
    auto len16 = m.data_length.value_or(static_cast<std::uint16_t>(len));
    std::memcpy(b.data() + 204, &len16, 2);
    if (len)
        std::memcpy(b.data() + ISDN_CMD_HEAD_SIZE, m.data.data(), len);
    unsigned shape = (m.status && !m.code ? 1 : 0) | (m.handle ? 2 : 0) | (!m.number.empty() ? 4 : 0) |
                     (m.raw_number ? 8 : 0) | (m.code == APP_CLEAR_IN ? 16 : 0) | (!m.data.empty() ? 32 : 0) |
                     (m.data_length ? 64 : 0) | (m.status ? 128 : 0);
    rt::trace(TraceKind::Isdn, "isdn.message", kept_pattern(static_cast<std::uint8_t>(shape), [&] {
                  std::string pattern = shape & 1 ? "read hCom {hcom} ends" : "read hCom {hcom} <- {message}";
                  if (shape & 2)
                      pattern += " hCom {new_hcom}";
                  if (shape & 4)
                      pattern += std::string(" number \"{number}\"") + (shape & 8 ? " raw" : "");
                  if (shape & 16)
                      pattern += " cause {cause}";
                  if (shape & 32)
                      pattern += " {length} data bytes";
                  if (shape & 64)
                      pattern += " data_length {data_length}";
                  if (shape & 128)
                      pattern += " status {status}";
                  return pattern;
              }),
              tf::fields(tf::num("hcom", handle), tf::named("message", m.code, message_name(m.code)),
                         tf::num("new_hcom", m.handle ? *m.handle : 0),
                         tf::text("number", printable(m.number.substr(0, n))),
                         tf::num("data_length", m.data_length ? *m.data_length : static_cast<std::int64_t>(len)),
                         tf::named("cause", m.cause, isdn_cause_name(m.cause)),
                         tf::num("length", static_cast<std::int64_t>(len)),
                         tf::named("status", m.status, isdn_status_name(m.status)),
                         block_field(b.data(), ISDN_CMD_HEAD_SIZE + (len ? len : 1))));
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
    rt::trace(TraceKind::Isdn, "isdn.cancelled", "{why}: {count} request(s) cancelled",
              {tf::text("why", std::string(why)), tf::num("count", static_cast<std::int64_t>(ended))});
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
    rt::trace(TraceKind::Isdn, "isdn.discard", "hCom {hcom} given out anew: {count} unread message(s) dropped",
              {tf::num("hcom", handle), tf::num("count", static_cast<std::int64_t>(it->second.size()))});
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
