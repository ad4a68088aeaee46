// The ISDN driver's exchange mode: a model of the basic-rate line (two B
// channels, handles 1 to 16) and of the network and remote parties behind
// it, so that the driver's calls, listens and frames just work. Every
// command is answered here and every message comes from here; time is the
// host's virtual clock, and future events run in a host-side context
// named "exchange" (not a driver thread).
//
// Rules of the model, as decided:
// - Handles are shared by calls and listens and given out round robin
//   (the next free one after the last given), so a handle just released is
//   not reused at once; messages still queued for a handle are dropped when
//   it is given out again.
// - A listen carries local_address "digits*subaddress" (either part may be
//   empty). An incoming call matches it when the listen's digits are empty
//   or equal the called number, and the listen's subaddress is empty or
//   equals the call's subaddress (a listen with a subaddress takes no call
//   without one). The oldest matching listen takes the call; a listen takes
//   one call only (APP_CONN_IN ends it and frees its handle), as the driver
//   listens anew after each incoming call.
// - An outgoing call gets its handle at once, then: the party answers
//   (APP_CONN_CO), is busy or refuses (APP_CLEAR_IN with the cause), or
//   never answers. A number no party has is cleared at once with cause 1;
//   an empty number with cause 28; with both B channels in use, cause 34.
// - Clearing by the driver ('C', in any state of a call) is confirmed at
//   once with APP_CLEAR_CO. Clearing by the network posts APP_CLEAR_IN; the
//   driver's clear response 'D' then gets APP_CLEAR_CO. Either way the
//   handle and the B channel are free once APP_CLEAR_CO is queued.
// - Frames the driver sends go through a per-call transmit queue. Without
//   pacing a frame reaches the party as it is sent. With pacing, a frame of
//   n bytes holds the channel n*8/64000 s (125 us a byte), each direction
//   on its own. APP_FLOW_OFF is posted when the queue reaches the high mark
//   and APP_FLOW_ON when it drains to the low mark; a send that finds the
//   queue at its capacity waits (its command stays pending) until a frame
//   has left. Flow control therefore only shows with pacing on.
// - A read on a handle that no call or listen holds, with nothing queued
//   for it, fails at once (kIsdnBadHandle); a read pending on a listen that
//   is cancelled ends with kIsdnCancelled.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host.h"

namespace tolvanex::host {

class Context;
class IsdnDriver;
struct IsdnCommandRecord;

// Values the exchange writes into a block's status field.
enum IsdnExchangeStatus : std::uint32_t {
    kIsdnOk = 0,
    kIsdnFailed = 1,         // an injected fault (the transport's failure looks the same)
    kIsdnBadHandle = 2,      // no call or listen of the needed kind holds the handle
    kIsdnWrongState = 3,     // the call's state does not take the command
    kIsdnNoHandle = 4,       // all 16 handles are in use
    kIsdnCancelled = 5,      // the listen a read waited on was cancelled
    kIsdnUnknownCommand = 6, // a command class or code the contract does not have
    kIsdnBadLength = 7,      // a send's data_length over 2048 or past the block
};

// Clearing causes (Q.850) the network uses.
namespace isdn_cause {
constexpr std::uint8_t kUnallocatedNumber = 1;
constexpr std::uint8_t kNormalClearing = 16;
constexpr std::uint8_t kUserBusy = 17;
constexpr std::uint8_t kCallRejected = 21;
constexpr std::uint8_t kInvalidNumberFormat = 28;
constexpr std::uint8_t kNoChannel = 34;
} // namespace isdn_cause

// A remote party: how it treats a call, in either direction.
struct Party {
    enum class Answer : std::uint8_t {
        After,  // answers `delay` after the call reaches it
        Busy,   // clears at once with `cause` (default 17, user busy)
        Refuse, // clears `delay` after the call reaches it, `cause` (default 21)
        Never,  // rings until the driver clears
    };
    // Frames of `bytes` every `every`, from the connection on; `count` 0
    // sends for as long as the call lasts. Frame k (from 0) holds
    // IsdnExchange::discard_frame(k, bytes).
    struct Stream {
        std::size_t bytes = 0;
        Ticks every = 0;
        std::size_t count = 0;
    };

    std::string number; // digits, at most 32
    Answer answer = Answer::After;
    Ticks delay = 0;
    std::uint8_t cause = 0; // 0: the answer's default cause
    bool echo = false;      // sends each received frame back as it arrives
    std::optional<Stream> stream;
    std::optional<Ticks> clear_after; // clears this long after the connection
    std::uint8_t clear_cause = isdn_cause::kNormalClearing;
};

// A call from a remote number to the line.
struct CallIn {
    std::string from;                   // calling number; a party of that number brings its data behaviour
    std::string to;                     // called number; empty: the line's local number
    std::string subaddress;             // digits, may be empty
    Ticks at = 0;                       // virtual time at which the call reaches the line
    std::optional<Ticks> give_up_after; // the caller clears if not connected by then
};

enum class IsdnCallState : std::uint8_t {
    Dialling, // outgoing, the party not answered yet
    Offered,  // incoming, APP_CONN_IN posted, waiting for the call response
    Connected,
    ClearingRemote, // APP_CLEAR_IN posted, waiting for the clear response
    Released,       // APP_CLEAR_CO posted (or the call never reached the driver)
};
std::string_view isdn_call_state_name(IsdnCallState s);
// "ISDN_OK", "ISDN_BAD_HANDLE", ...; an unknown status as a number.
std::string isdn_status_name(std::uint32_t status);
// "normal clearing", "user busy", ...; an unknown cause as "cause N".
std::string isdn_cause_name(std::uint8_t cause);

// What the exchange knows of a call, live or ended.
struct IsdnCall {
    std::uint64_t id = 0;
    std::uint8_t handle = 0; // 0: never had one (an incoming call not offered)
    int channel = -1;        // 0 B1, 1 B2, -1 none
    bool outgoing = false;
    std::string remote;     // the party's number
    std::string local;      // the line's number on this call
    std::string subaddress; // incoming: the called subaddress
    IsdnCallState state = IsdnCallState::Dialling;
    std::string end;        // how it ended, in words
    std::uint8_t cause = 0; // the network's clearing cause, if it cleared
    Ticks started = 0, connected = -1, released = -1;
};

// Per B channel, counted over every call it carried. "out" is the driver
// towards the network, "in" the network towards the driver.
struct ChannelStats {
    std::uint64_t frames_out = 0, bytes_out = 0;
    std::uint64_t frames_in = 0, bytes_in = 0;
    std::uint64_t flow_off = 0, flow_on = 0; // flow messages posted
    std::uint8_t handle = 0;                 // the call using the channel now, 0 if free
    std::size_t queued = 0;                  // frames in its transmit queue now
};

struct PartyStats {
    std::uint64_t calls = 0; // calls it took part in, either direction
    std::uint64_t frames_received = 0, bytes_received = 0;
    std::uint64_t frames_sent = 0, bytes_sent = 0;
};

struct FlowMarks {
    std::size_t high = 8;      // frames queued: APP_FLOW_OFF
    std::size_t low = 2;       // frames queued: APP_FLOW_ON
    std::size_t capacity = 16; // frames queued: the next send waits
};

class IsdnExchange {
  public:
    IsdnExchange(Host &host, IsdnDriver &driver);
    ~IsdnExchange();
    IsdnExchange(const IsdnExchange &) = delete;
    IsdnExchange &operator=(const IsdnExchange &) = delete;

    // ---- The scenario's side ----
    // The line's own number: the called number of a CallIn without one.
    void set_local(std::string number);
    const std::string &local() const { return local_; }
    // HostError for a bad number or behaviour, or a number already defined.
    void add_party(Party party);
    bool has_party(const std::string &number) const { return parties_.count(number) > 0; }
    // HostError for bad numbers or a time in the past.
    void call_in(CallIn call);
    void set_pacing(bool on);
    bool pacing() const { return pacing_; }
    // HostError unless low < high <= capacity.
    void set_flow_marks(std::size_t high, std::size_t low, std::size_t capacity);
    const FlowMarks &flow_marks() const { return marks_; }

    // ---- A party played from outside the model (a bridge to a real network stack) ----
    // Frames the party receives also go to `tap` (an empty one ends it).
    // HostError if no party has the number.
    void tap_party(const std::string &number, std::function<void(const std::vector<std::uint8_t> &)> tap);
    // A frame from the party on its connected call, paced like any frame of
    // a party; false when it has no connected call.
    bool party_send(const std::string &number, std::vector<std::uint8_t> frame);
    // How long the line towards the driver stays busy with frames the party
    // already sent (0 when idle or without a connected call).
    Ticks party_backlog(const std::string &number) const;

    // ---- What it saw ----
    std::array<ChannelStats, 2> channels() const;
    std::vector<IsdnCall> calls() const;
    const PartyStats &party_stats(const std::string &number) const; // HostError if unknown
    // Listens in place: (handle, local_address as given).
    std::vector<std::pair<std::uint8_t, std::string>> listens() const;

    // Payload byte i of a party's frame k: (k + i) & 0xFF.
    static std::vector<std::uint8_t> pattern(std::size_t k, std::size_t bytes);
    // Frame k of a streaming party, `bytes` long: a PPP LCP Discard-Request
    // (id k, the stream's magic number) padded with pattern(k); below 12
    // bytes, too short for one, the bare pattern.
    static std::vector<std::uint8_t> discard_frame(std::size_t k, std::size_t bytes);
    // A PPP frame of `bytes` carrying an IPv4 packet (id k, protocol 253,
    // 10.0.0.1 to 10.0.0.2, a valid header checksum, pattern(k) after the
    // header); below 24 bytes, the bare pattern.
    static std::vector<std::uint8_t> ip_frame(std::size_t k, std::size_t bytes);
    // What party `number` answers to `frame` when it echoes: an LCP
    // Echo-Request gets an Echo-Reply with the party's own magic number;
    // anything else comes back as it is.
    static std::vector<std::uint8_t> echo_reply(const std::string &number, std::vector<std::uint8_t> frame);
    // The party's LCP magic number, from its number.
    static std::uint32_t party_magic(const std::string &number);
    // The listen rule above, on its own.
    static bool listen_matches(const std::string &listen_address, const std::string &called,
                               const std::string &subaddress);

    // ---- The ISDN driver's side (IsdnDriver only) ----
    struct Reply {
        std::uint32_t status = kIsdnOk;
        std::optional<std::uint8_t> handle;
    };
    // A command other than a read; nullopt: it waits and is answered later.
    std::optional<Reply> command(const IsdnCommandRecord &cmd);
    // Whether a read on `handle` may wait for a message.
    bool handle_in_use(std::uint8_t handle) const;
    // Carries out what the last steps left to do: deferred answers, then
    // messages for the reads that wait. May switch contexts; call it last.
    void flush();
    // The client closed the device: calls and listens end silently.
    void client_closed();

  private:
    struct Slot {
        enum Kind : std::uint8_t { Free, CallSlot, ListenSlot } kind = Free;
        std::uint64_t id = 0;
    };
    struct Listen {
        std::uint8_t handle = 0;
        std::string address;
        bool active = true;
    };
    struct Frame {
        std::vector<std::uint8_t> data;
        std::uint64_t command = 0; // a send that waits for room; 0 once queued
    };
    struct Call {
        IsdnCall info;
        std::deque<Frame> tx;      // head is on the line while `transmitting`
        std::deque<Frame> waiting; // sends that found the queue full
        bool transmitting = false;
        bool flow_off = false;
        std::size_t stream_sent = 0;
    };
    struct Channel {
        ChannelStats stats;
        std::uint64_t call = 0;
        Ticks rx_free = 0; // receive direction busy until
    };
    struct PartyEntry {
        Party party;
        PartyStats stats;
        std::function<void(const std::vector<std::uint8_t> &)> tap;
    };
    struct Event {
        std::uint64_t call = 0; // 0: not bound to a call
        std::function<void()> fire;
    };

    // Event queue and the exchange context.
    void run();
    void schedule(Ticks when, std::uint64_t call, std::function<void()> fire);
    void drop_events(std::uint64_t call);

    // Handles, calls and listens.
    std::optional<std::uint8_t> take_handle(Slot::Kind kind, std::uint64_t id);
    void free_handle(std::uint8_t handle);
    Call *find_call(std::uint64_t id);
    const Call *connected_call(const std::string &remote) const;
    Call *call_by_handle(std::uint8_t handle);
    PartyEntry *party(const std::string &number);
    int take_channel(std::uint64_t call);
    void post(const Call &c, std::uint8_t code, std::uint8_t cause = 0);
    void answer_later(std::uint64_t command, std::uint32_t status);

    // Call control (isdn_exchange.cpp).
    Reply place_call(const IsdnCommandRecord &cmd);
    Reply call_response(std::uint8_t handle);
    Reply clear(std::uint8_t handle);
    Reply clear_response(std::uint8_t handle);
    Reply listen(const std::string &address);
    Reply cancel_listen(std::uint8_t handle);
    void ring(std::uint64_t call);
    void connect(std::uint64_t call);
    void remote_clear(std::uint64_t call, std::uint8_t cause, const std::string &who, const std::string &why);
    void release(Call &c, const std::string &end);
    void arrive(const CallIn &in);
    void give_up(std::uint64_t call);
    void ringing(const Call &c);
    static std::string describe(const Call &c);

    // Data path (isdn_exchange_data.cpp).
    std::optional<Reply> send(std::uint64_t command, std::uint8_t handle, const std::vector<std::uint8_t> &block);
    void enqueue(Call &c, Frame frame);
    void start_transmit(Call &c);
    void transmitted(std::uint64_t call);
    void to_party(Call &c, std::vector<std::uint8_t> frame);
    void to_driver(Call &c, std::vector<std::uint8_t> frame);
    void stream_frame(std::uint64_t call);
    void start_party_behaviour(Call &c);
    void drop_data(Call &c);
    static Ticks line_time(std::size_t bytes);

    Host &host_;
    IsdnDriver &driver_;
    Context *context_ = nullptr;
    std::string local_;
    std::map<std::string, PartyEntry> parties_;
    std::deque<Call> calls_;     // id = index + 1; references stay valid
    std::deque<Listen> listens_; // id = index + 1
    std::array<Slot, 17> slots_{};
    std::uint8_t last_handle_ = 0;
    std::array<Channel, 2> channels_{};
    std::map<std::pair<Ticks, std::uint64_t>, Event> events_;
    std::uint64_t event_seq_ = 0;
    std::deque<std::pair<std::uint64_t, std::uint32_t>> answers_; // (command id, status)
    bool pacing_ = false;
    FlowMarks marks_;
};

} // namespace tolvanex::host
