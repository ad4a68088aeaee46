// The exchange: handles, listens, calls in both directions and their
// clearing, the parties' answers, and the context that runs due events.
// The data path is in isdn_exchange_data.cpp.

#include "isdn/isdn_exchange.h"

#include <algorithm>

#include "isdn/isdn_driver.h"
#include "nt/kernel.h"
#include "check/trace.h"

namespace tolvanex::host {

namespace {

void check_digits(const std::string &number, const std::string &what, bool may_be_empty) {
    if (number.empty() && !may_be_empty)
        throw HostError(what + " is empty");
    if (number.size() > ISDN_MAX_DIGITS)
        throw HostError(what + " '" + number + "' is longer than 32 digits");
    if (!std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw HostError(what + " '" + number + "' has characters other than digits");
}

// The exchange's doings are its own, whichever thread set them going.
void trace(std::string text) {
    rt::trace_as("exchange", TraceKind::Isdn, "exchange", "{text}", {tf::text("text", std::move(text))});
}

void event(const char *name, std::string pattern, TraceFields fields) {
    rt::trace_as("exchange", TraceKind::Isdn, name, std::move(pattern), std::move(fields));
}

std::string hcom(std::uint8_t h) {
    return "hCom " + std::to_string(h);
}

// "1.5 s", "0.04 s", "20 s".
std::string span(Ticks t) {
    std::string s = format_time(t);
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s + " s";
}

std::string channel_name(int ch) {
    return ch < 0 ? std::string("no B channel") : "B" + std::to_string(ch + 1);
}

} // namespace

std::string_view isdn_call_state_name(IsdnCallState s) {
    switch (s) {
    case IsdnCallState::Dialling: return "dialling";
    case IsdnCallState::Offered: return "offered";
    case IsdnCallState::Connected: return "connected";
    case IsdnCallState::ClearingRemote: return "clearing";
    case IsdnCallState::Released: return "released";
    }
    return "?";
}

std::string isdn_status_name(std::uint32_t status) {
    switch (status) {
    case kIsdnOk: return "ISDN_OK";
    case kIsdnFailed: return "ISDN_FAILED";
    case kIsdnBadHandle: return "ISDN_BAD_HANDLE";
    case kIsdnWrongState: return "ISDN_WRONG_STATE";
    case kIsdnNoHandle: return "ISDN_NO_HANDLE";
    case kIsdnCancelled: return "ISDN_CANCELLED";
    case kIsdnUnknownCommand: return "ISDN_UNKNOWN_COMMAND";
    case kIsdnBadLength: return "ISDN_BAD_LENGTH";
    }
    return "status " + std::to_string(status);
}

std::string isdn_cause_name(std::uint8_t cause) {
    // Q.850 causes the exchange gives.
    switch (cause) {
    case 0: return "none";
    case isdn_cause::kUnallocatedNumber: return "unallocated number";
    case isdn_cause::kNormalClearing: return "normal clearing";
    case isdn_cause::kUserBusy: return "user busy";
    case 18: return "no user responding";
    case 19: return "no answer";
    case isdn_cause::kCallRejected: return "call rejected";
    case isdn_cause::kInvalidNumberFormat: return "invalid number format";
    case 31: return "normal, unspecified";
    case isdn_cause::kNoChannel: return "no circuit/channel available";
    case 41: return "temporary failure";
    }
    return "cause " + std::to_string(cause);
}

IsdnExchange::IsdnExchange(Host &host, IsdnDriver &driver) : host_(host), driver_(driver) {
    // A host-side context: it is not the driver's, so halt's teardown
    // checks do not count it, and the host unwinds it when it goes.
    context_ = &host_.kernel().spawn("exchange", ContextKind::Thread, [this] { run(); });
    trace("exchange mode: a basic-rate line, B1 and B2, handles 1 to 16");
}

// The host has unwound the context (Kernel::kill_all) before the driver,
// and so the exchange, is destroyed.
IsdnExchange::~IsdnExchange() = default;

// ---- Scenario side ------------------------------------------------------------

void IsdnExchange::set_local(std::string number) {
    check_digits(number, "local number", true);
    local_ = std::move(number);
    trace("exchange: the line's number is " + (local_.empty() ? std::string("none") : local_));
}

void IsdnExchange::add_party(Party p) {
    check_digits(p.number, "party number", false);
    if (parties_.count(p.number))
        throw HostError("party " + p.number + " is already defined");
    if (p.delay < 0)
        throw HostError("party " + p.number + ": negative delay");
    if (p.clear_after && *p.clear_after < 0)
        throw HostError("party " + p.number + ": negative clear_after");
    if (p.stream) {
        if (p.stream->bytes > ISDN_MAX_DATA)
            throw HostError("party " + p.number + ": frames of " + std::to_string(p.stream->bytes) +
                            " bytes, more than 2048");
        if (p.stream->every <= 0)
            throw HostError("party " + p.number + ": a stream needs a positive interval");
    }
    std::string text = "exchange: party " + p.number;
    switch (p.answer) {
    case Party::Answer::After: text += p.delay ? " answers after " + span(p.delay) : " answers at once"; break;
    case Party::Answer::Busy: text += " is busy"; break;
    case Party::Answer::Refuse: text += " refuses after " + span(p.delay); break;
    case Party::Answer::Never: text += " never answers"; break;
    default: throw HostError("party " + p.number + ": unknown answer behaviour");
    }
    if (p.echo)
        text += ", echoes data";
    if (p.stream)
        text += ", sends " + std::to_string(p.stream->bytes) + "-byte frames every " + span(p.stream->every) +
                (p.stream->count ? " (" + std::to_string(p.stream->count) + " of them)" : std::string());
    if (p.clear_after)
        text += ", clears after " + span(*p.clear_after);
    trace(text);
    std::string number = p.number;
    parties_.emplace(number, PartyEntry{std::move(p), {}});
}

void IsdnExchange::call_in(CallIn in) {
    check_digits(in.from, "calling number", false);
    check_digits(in.to, "called number", true);
    check_digits(in.subaddress, "subaddress", true);
    if (in.at < host_.now())
        throw HostError("call_in from " + in.from + " at " + format_time(in.at) + ", which is in the past");
    if (in.give_up_after && *in.give_up_after < 0)
        throw HostError("call_in from " + in.from + ": negative give_up_after");
    Ticks at = in.at;
    schedule(at, 0, [this, in = std::move(in)] { arrive(in); });
}

const PartyStats &IsdnExchange::party_stats(const std::string &number) const {
    auto it = parties_.find(number);
    if (it == parties_.end())
        throw HostError("no party " + number);
    return it->second.stats;
}

std::vector<IsdnCall> IsdnExchange::calls() const {
    std::vector<IsdnCall> out;
    for (auto &c : calls_)
        out.push_back(c.info);
    return out;
}

std::vector<std::pair<std::uint8_t, std::string>> IsdnExchange::listens() const {
    std::vector<std::pair<std::uint8_t, std::string>> out;
    for (auto &l : listens_)
        if (l.active)
            out.emplace_back(l.handle, l.address);
    return out;
}

bool IsdnExchange::listen_matches(const std::string &listen_address, const std::string &called,
                                  const std::string &subaddress) {
    auto star = listen_address.find('*');
    std::string number = listen_address.substr(0, star);
    std::string sub = star == std::string::npos ? std::string() : listen_address.substr(star + 1);
    return (number.empty() || number == called) && (sub.empty() || sub == subaddress);
}

// ---- Events and the exchange context ---------------------------------------------

void IsdnExchange::run() {
    Kernel &k = host_.kernel();
    for (;;) {
        while (!events_.empty() && events_.begin()->first.first <= k.now()) {
            auto node = events_.extract(events_.begin());
            node.mapped().fire();
            flush();
        }
        k.block(this, events_.empty() ? kNever : events_.begin()->first.first);
    }
}

void IsdnExchange::schedule(Ticks when, std::uint64_t call, std::function<void()> fire) {
    events_.emplace(std::pair{when, ++event_seq_}, Event{call, std::move(fire)});
    Context &c = *context_;
    if (c.state == ContextState::Blocked && c.wait_object == this && when < c.deadline)
        host_.kernel().wake(c, WakeReason::Signalled);
}

void IsdnExchange::drop_events(std::uint64_t call) {
    std::erase_if(events_, [call](const auto &e) { return e.second.call == call; });
}

void IsdnExchange::flush() {
    while (!answers_.empty()) {
        auto [id, status] = answers_.front();
        answers_.pop_front();
        if (!driver_.commands_[id - 1].answered)
            driver_.settle(id, status, {});
    }
    driver_.pump();
}

void IsdnExchange::answer_later(std::uint64_t command, std::uint32_t status) {
    answers_.emplace_back(command, status);
}

// ---- Handles, channels, lookups ---------------------------------------------------

std::optional<std::uint8_t> IsdnExchange::take_handle(Slot::Kind kind, std::uint64_t id) {
    for (int i = 1; i <= ISDN_HCOM_MAX; ++i) {
        auto h = static_cast<std::uint8_t>((last_handle_ + i - 1) % ISDN_HCOM_MAX + 1);
        if (slots_[h].kind == Slot::Free) {
            slots_[h] = Slot{kind, id};
            last_handle_ = h;
            driver_.discard(h);
            return h;
        }
    }
    return std::nullopt;
}

void IsdnExchange::free_handle(std::uint8_t handle) {
    if (handle >= ISDN_HCOM_MIN && handle <= ISDN_HCOM_MAX)
        slots_[handle] = Slot{};
}

bool IsdnExchange::handle_in_use(std::uint8_t handle) const {
    return handle >= ISDN_HCOM_MIN && handle <= ISDN_HCOM_MAX && slots_[handle].kind != Slot::Free;
}

IsdnExchange::Call *IsdnExchange::find_call(std::uint64_t id) {
    return id == 0 || id > calls_.size() ? nullptr : &calls_[id - 1];
}

IsdnExchange::Call *IsdnExchange::call_by_handle(std::uint8_t handle) {
    if (!handle_in_use(handle) || slots_[handle].kind != Slot::CallSlot)
        return nullptr;
    return find_call(slots_[handle].id);
}

IsdnExchange::PartyEntry *IsdnExchange::party(const std::string &number) {
    auto it = parties_.find(number);
    return it == parties_.end() ? nullptr : &it->second;
}

int IsdnExchange::take_channel(std::uint64_t call) {
    for (int ch = 0; ch < 2; ++ch)
        if (channels_[ch].call == 0) {
            channels_[ch].call = call;
            channels_[ch].rx_free = 0;
            calls_[call - 1].info.channel = ch;
            return ch;
        }
    return -1;
}

void IsdnExchange::post(const Call &c, std::uint8_t code, std::uint8_t cause) {
    driver_.post(c.info.handle, IsdnMessage{.code = code, .cause = cause});
}

void IsdnExchange::ringing(const Call &c) {
    event("exchange.ring", "{party} rings: call hCom {hcom} on {channel}",
          {tf::text("party", c.info.remote), tf::num("hcom", c.info.handle),
           tf::text("channel", channel_name(c.info.channel)), tf::num("isdn_call", static_cast<std::int64_t>(c.info.id))});
}

std::string IsdnExchange::describe(const Call &c) {
    return "call " + hcom(c.info.handle) + (c.info.outgoing ? " to " : " from ") + c.info.remote;
}

// ---- Commands ------------------------------------------------------------------

std::optional<IsdnExchange::Reply> IsdnExchange::command(const IsdnCommandRecord &cmd) {
    if (cmd.command == ISDN_CLASS_CONTROL) {
        switch (cmd.code) {
        case ISDN_CODE_CALL: return place_call(cmd);
        case ISDN_CODE_CALL_RESP: return call_response(cmd.hcom);
        case ISDN_CODE_CLEAR: return clear(cmd.hcom);
        case ISDN_CODE_CLEAR_RESP: return clear_response(cmd.hcom);
        case ISDN_CODE_SEND: return send(cmd.id, cmd.hcom, cmd.block);
        case ISDN_CODE_LISTEN: return listen(cmd.local_address);
        }
    } else if (cmd.command == ISDN_CLASS_CANCEL && cmd.code == ISDN_CODE_CANCEL_LISTEN) {
        return cancel_listen(cmd.hcom);
    }
    trace("exchange: command class " + std::to_string(cmd.command) + " code " + std::to_string(cmd.code) +
          " is unknown: refused");
    return Reply{kIsdnUnknownCommand};
}

IsdnExchange::Reply IsdnExchange::place_call(const IsdnCommandRecord &cmd) {
    std::uint64_t id = calls_.size() + 1;
    auto h = take_handle(Slot::CallSlot, id);
    if (!h) {
        trace("exchange: call to " + cmd.called_number + " refused: all 16 handles in use");
        return Reply{kIsdnNoHandle};
    }
    Call &c = calls_.emplace_back();
    c.info.id = id;
    c.info.handle = *h;
    c.info.outgoing = true;
    c.info.remote = cmd.called_number;
    c.info.local = cmd.local_address;
    c.info.started = host_.now();
    if (PartyEntry *p = party(c.info.remote))
        ++p->stats.calls;
    event("exchange.call", "exchange: call hCom {hcom} to {party} from {local}",
          {tf::num("hcom", c.info.handle), tf::text("party", c.info.remote),
           tf::text("local", c.info.local.empty() ? std::string("the line") : c.info.local),
           tf::num("isdn_call", static_cast<std::int64_t>(id))});
    schedule(host_.now(), id, [this, id] { ring(id); });
    return Reply{kIsdnOk, *h};
}

// The network has the call's setup: reach the party and let it decide.
void IsdnExchange::ring(std::uint64_t id) {
    Call *c = find_call(id);
    if (!c || c->info.state != IsdnCallState::Dialling)
        return;
    if (c->info.remote.empty())
        return remote_clear(id, isdn_cause::kInvalidNumberFormat, "the network", "no number dialled");
    PartyEntry *p = party(c->info.remote);
    if (!p)
        return remote_clear(id, isdn_cause::kUnallocatedNumber, "the network", c->info.remote + " is not a number");
    if (take_channel(id) < 0)
        return remote_clear(id, isdn_cause::kNoChannel, "the network", "both B channels in use");
    const Party &party = p->party;
    switch (party.answer) {
    case Party::Answer::After:
        ringing(*c);
        schedule(host_.now() + party.delay, id, [this, id] { connect(id); });
        break;
    case Party::Answer::Busy:
        remote_clear(id, party.cause ? party.cause : isdn_cause::kUserBusy, party.number, "busy");
        break;
    case Party::Answer::Refuse: {
        std::uint8_t cause = party.cause ? party.cause : isdn_cause::kCallRejected;
        ringing(*c);
        schedule(host_.now() + party.delay, id,
                 [this, id, cause, who = party.number] { remote_clear(id, cause, who, "refuses"); });
        break;
    }
    case Party::Answer::Never: trace(party.number + " rings and will not answer: call " + hcom(c->info.handle)); break;
    }
}

void IsdnExchange::connect(std::uint64_t id) {
    Call *c = find_call(id);
    if (!c || (c->info.state != IsdnCallState::Dialling && c->info.state != IsdnCallState::Offered))
        return;
    c->info.state = IsdnCallState::Connected;
    c->info.connected = host_.now();
    event("exchange.connect",
          c->info.outgoing ? "{party} answers call hCom {hcom} on {channel}"
                           : "call hCom {hcom} from {party} connected on {channel}",
          {tf::text("party", c->info.remote), tf::num("hcom", c->info.handle),
           tf::text("channel", channel_name(c->info.channel)), tf::named("direction", c->info.outgoing, c->info.outgoing ? "out" : "in"),
           tf::num("isdn_call", static_cast<std::int64_t>(id))});
    post(*c, APP_CONN_CO);
    start_party_behaviour(*c);
}

void IsdnExchange::remote_clear(std::uint64_t id, std::uint8_t cause, const std::string &who, const std::string &why) {
    Call *c = find_call(id);
    if (!c || c->info.state == IsdnCallState::ClearingRemote || c->info.state == IsdnCallState::Released)
        return;
    c->info.state = IsdnCallState::ClearingRemote;
    c->info.cause = cause;
    std::string reason = why.empty() ? std::string() : " (" + why + ")";
    c->info.end = "cleared by " + who + reason + ", cause " + std::to_string(cause);
    event("exchange.clear", "{who} clears call hCom {hcom}" + reason + ", cause {cause_code} ({cause})",
          {tf::text("who", who), tf::text("party", c->info.remote), tf::num("hcom", c->info.handle),
           tf::text("why", why), tf::num("cause_code", cause), tf::named("cause", cause, isdn_cause_name(cause)),
           tf::num("isdn_call", static_cast<std::int64_t>(id))});
    drop_data(*c);
    drop_events(id);
    post(*c, APP_CLEAR_IN, cause);
}

// The call is over: its handle and channel are free. APP_CLEAR_CO, when
// due, is posted by the caller first, under the handle.
void IsdnExchange::release(Call &c, const std::string &end) {
    c.info.state = IsdnCallState::Released;
    c.info.released = host_.now();
    if (c.info.end.empty())
        c.info.end = end;
    drop_data(c);
    drop_events(c.info.id);
    if (c.info.channel >= 0 && channels_[c.info.channel].call == c.info.id)
        channels_[c.info.channel].call = 0;
    if (c.info.handle && call_by_handle(c.info.handle) == &c)
        free_handle(c.info.handle);
    event("exchange.release",
          std::string(c.info.outgoing ? "call hCom {hcom} to {party}" : "call hCom {hcom} from {party}") +
              " released, {channel} free ({end})",
          {tf::num("hcom", c.info.handle), tf::text("party", c.info.remote),
           tf::text("channel", channel_name(c.info.channel)), tf::text("end", c.info.end),
           tf::num("isdn_call", static_cast<std::int64_t>(c.info.id))});
}

IsdnExchange::Reply IsdnExchange::call_response(std::uint8_t handle) {
    Call *c = call_by_handle(handle);
    if (!c) {
        trace("exchange: call response on " + hcom(handle) + ": no call has it");
        return Reply{kIsdnBadHandle};
    }
    if (c->info.outgoing || c->info.state != IsdnCallState::Offered) {
        trace("exchange: call response on " + describe(*c) + ", which is " +
              std::string(isdn_call_state_name(c->info.state)) + ": refused");
        return Reply{kIsdnWrongState};
    }
    event("exchange.accept", "the driver accepts call hCom {hcom} from {party}",
          {tf::num("hcom", c->info.handle), tf::text("party", c->info.remote),
           tf::num("isdn_call", static_cast<std::int64_t>(c->info.id))});
    connect(c->info.id);
    return Reply{kIsdnOk};
}

IsdnExchange::Reply IsdnExchange::clear(std::uint8_t handle) {
    Call *c = call_by_handle(handle);
    if (!c) {
        trace("exchange: clear on " + hcom(handle) + ": no call has it");
        return Reply{kIsdnBadHandle};
    }
    event("exchange.driver_clear",
          std::string(c->info.outgoing ? "the driver clears call hCom {hcom} to {party}"
                                       : "the driver clears call hCom {hcom} from {party}") +
              " ({state})",
          {tf::num("hcom", c->info.handle), tf::text("party", c->info.remote),
           tf::text("state", std::string(isdn_call_state_name(c->info.state))),
           tf::num("isdn_call", static_cast<std::int64_t>(c->info.id))});
    bool answering = c->info.state == IsdnCallState::ClearingRemote; // both sides cleared at once
    post(*c, APP_CLEAR_CO);
    release(*c, answering ? "" : "cleared by the driver");
    return Reply{kIsdnOk};
}

IsdnExchange::Reply IsdnExchange::clear_response(std::uint8_t handle) {
    Call *c = call_by_handle(handle);
    if (!c) {
        trace("exchange: clear response on " + hcom(handle) + ": no call has it");
        return Reply{kIsdnBadHandle};
    }
    if (c->info.state != IsdnCallState::ClearingRemote) {
        trace("exchange: clear response on " + describe(*c) + ", which is " +
              std::string(isdn_call_state_name(c->info.state)) + ": refused");
        return Reply{kIsdnWrongState};
    }
    post(*c, APP_CLEAR_CO);
    release(*c, "");
    return Reply{kIsdnOk};
}

IsdnExchange::Reply IsdnExchange::listen(const std::string &address) {
    std::uint64_t id = listens_.size() + 1;
    auto h = take_handle(Slot::ListenSlot, id);
    if (!h) {
        trace("exchange: listen for \"" + address + "\" refused: all 16 handles in use");
        return Reply{kIsdnNoHandle};
    }
    listens_.push_back(Listen{*h, address, true});
    trace("exchange: listen " + hcom(*h) + " for \"" + address + "\"");
    return Reply{kIsdnOk, *h};
}

IsdnExchange::Reply IsdnExchange::cancel_listen(std::uint8_t handle) {
    if (!handle_in_use(handle) || slots_[handle].kind != Slot::ListenSlot) {
        trace("exchange: cancel listen on " + hcom(handle) + ": no listen has it");
        return Reply{kIsdnBadHandle};
    }
    listens_[slots_[handle].id - 1].active = false;
    free_handle(handle);
    for (std::size_t i = driver_.pending_reads(handle); i > 0; --i)
        driver_.post(handle, IsdnMessage{.status = kIsdnCancelled});
    trace("exchange: listen " + hcom(handle) + " cancelled");
    return Reply{kIsdnOk};
}

// An incoming call reaches the line.
void IsdnExchange::arrive(const CallIn &in) {
    std::uint64_t id = calls_.size() + 1;
    Call &c = calls_.emplace_back();
    c.info.id = id;
    c.info.remote = in.from;
    c.info.local = in.to.empty() ? local_ : in.to;
    c.info.subaddress = in.subaddress;
    c.info.started = host_.now();
    c.info.state = IsdnCallState::Offered;
    if (PartyEntry *p = party(in.from))
        ++p->stats.calls;
    std::string shown =
        "call from " + in.from + " to " + c.info.local + (in.subaddress.empty() ? std::string() : "*" + in.subaddress);
    auto refuse = [&](const std::string &why) {
        trace(shown + ": " + why);
        c.info.state = IsdnCallState::Released;
        c.info.released = host_.now();
        c.info.end = why;
    };
    Listen *listen = nullptr;
    for (auto &l : listens_)
        if (l.active && listen_matches(l.address, c.info.local, in.subaddress)) {
            listen = &l;
            break;
        }
    if (!listen)
        return refuse("no listen takes it, not offered");
    if (take_channel(id) < 0)
        return refuse("both B channels in use, not offered");
    auto h = take_handle(Slot::CallSlot, id);
    if (!h) {
        channels_[c.info.channel].call = 0;
        return refuse("all 16 handles in use, not offered");
    }
    c.info.handle = *h;
    // The listen takes one call: the driver listens anew after it.
    driver_.post(listen->handle, IsdnMessage{.code = APP_CONN_IN, .handle = *h, .number = in.from});
    listen->active = false;
    free_handle(listen->handle);
    event("exchange.offer", shown + " offered on listen hCom {listen} as hCom {hcom}, {channel}",
          {tf::text("party", in.from), tf::num("listen", listen->handle), tf::num("hcom", *h),
           tf::text("channel", channel_name(c.info.channel)), tf::num("isdn_call", static_cast<std::int64_t>(id))});
    if (in.give_up_after)
        schedule(host_.now() + *in.give_up_after, id, [this, id] { give_up(id); });
}

void IsdnExchange::give_up(std::uint64_t id) {
    Call *c = find_call(id);
    if (c && c->info.state == IsdnCallState::Offered)
        remote_clear(id, isdn_cause::kNormalClearing, c->info.remote, "gives up");
}

void IsdnExchange::client_closed() {
    for (auto &c : calls_)
        if (c.info.state != IsdnCallState::Released)
            release(c, "the client closed the device");
    for (auto &l : listens_)
        if (l.active) {
            l.active = false;
            free_handle(l.handle);
        }
    // The driver cancels the commands still waiting; nothing is left to answer.
    answers_.clear();
}

} // namespace tolvanex::host
