// The ISDN driver's exchange mode, driven through the real NT I/O path the
// way the driver drives it: system threads that build ISDN_CMD blocks and
// call IoBuildDeviceIoControlRequest and IofCallDriver, one reading back to
// back on each handle.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "host.h"
#include "host_faults.h"
#include "host_isdn.h"
#include "host_records.h"
#include "ntkernel.h"
#include "pimisdn.h"

using namespace tolvanex::host;

namespace {

constexpr const char *kLocal = "0140000000";
constexpr const char *kRemote = "0140506070";

// The driver's transport: one block to the ISDN driver and back; 1 when the
// I/O itself failed, otherwise the status the ISDN driver wrote.
ULONG transport(PDEVICE_OBJECT dev, void *block, ULONG length) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_PIMISDN_COMMAND, dev, block, length, block, length, FALSE, &event, &iosb);
    if (!irp)
        return 1;
    NTSTATUS s = IofCallDriver(dev, irp);
    if (s == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
        s = iosb.u.Status;
    }
    if (s != STATUS_SUCCESS)
        return 1;
    ULONG status;
    std::memcpy(&status, static_cast<char *>(block) + 2, 4);
    return status;
}

void pause_ms(LONGLONG ms) {
    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10'000;
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
}

ISDN_DATA_CMD control(UCHAR command, UCHAR code, UCHAR hcom) {
    ISDN_DATA_CMD b{};
    b.command = command;
    b.code = code;
    b.hCom = hcom;
    return b;
}

void spawn(PKSTART_ROUTINE routine, void *arg) {
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, routine, arg), STATUS_SUCCESS);
}

// One command in a thread of its own.
struct Cmd {
    PDEVICE_OBJECT dev = nullptr;
    ISDN_DATA_CMD block{};
    ULONG length = ISDN_CMD_SIZE;
    ULONG result = 0xFFFFFFFF;
    bool done = false;
    Ticks done_at = -1;
    UCHAR hcom() const { return block.hCom; }
};

} // namespace

// Named outside the anonymous namespace so that traces can name the threads.
VOID NTAPI ExchangeCommandThread(PVOID p) {
    auto *c = static_cast<Cmd *>(p);
    c->result = transport(c->dev, &c->block, c->length);
    c->done = true;
    c->done_at = Host::current().now();
}

namespace {

struct Msg {
    UCHAR code = 0;
    UCHAR hcom = 0;
    std::string number;
    UCHAR cause = 0;
    std::vector<UCHAR> data;
    Ticks at = 0;
};

// A receive thread as the driver has them: reads back to back while it has
// a handle, answers the network's clearing with a clear response, and, on a
// listen, accepts an incoming call and hands its handle to `next`.
struct Reader {
    PDEVICE_OBJECT dev = nullptr;
    UCHAR hcom = 0; // 0: idle, looks again every 10 ms
    bool clear_response = true;
    bool accept = true;
    Reader *next = nullptr;
    std::vector<Msg> got;
    std::vector<ULONG> responses; // results of the 'D' and 'B' it sent
    ULONG failure = 0;            // status of the read that failed
    Ticks failed_at = -1;
    bool flow_off = false;

    std::size_t count(UCHAR code) const {
        std::size_t n = 0;
        for (auto &m : got)
            n += m.code == code;
        return n;
    }
    const Msg *first(UCHAR code) const {
        for (auto &m : got)
            if (m.code == code)
                return &m;
        return nullptr;
    }
};

} // namespace

VOID NTAPI ExchangeReaderThread(PVOID p) {
    auto *r = static_cast<Reader *>(p);
    for (;;) {
        if (r->hcom == 0) {
            pause_ms(10);
            continue;
        }
        ISDN_DATA_CMD b = control(ISDN_CLASS_READ, ISDN_CODE_READ, r->hcom);
        b.data_length = ISDN_MAX_DATA;
        ULONG status = transport(r->dev, &b, sizeof b);
        if (status != 0) {
            r->failure = status;
            r->failed_at = Host::current().now();
            r->hcom = 0;
            continue;
        }
        USHORT length = b.data_length;
        Msg m{b.code,
              b.hCom,
              b.called_number,
              b.cause,
              std::vector<UCHAR>(b.data, b.data + length),
              Host::current().now()};
        r->got.push_back(m);
        UCHAR own = r->hcom;
        switch (m.code) {
        case APP_FLOW_OFF: r->flow_off = true; break;
        case APP_FLOW_ON: r->flow_off = false; break;
        case APP_CLEAR_IN:
            if (r->clear_response) {
                ISDN_DATA_CMD d = control(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR_RESP, own);
                r->responses.push_back(transport(r->dev, &d, ISDN_CMD_SIZE));
            }
            break;
        case APP_CLEAR_CO: r->hcom = 0; break;
        case APP_CONN_IN:
            r->hcom = 0; // the listen is used up
            if (r->accept && r->next) {
                r->next->hcom = m.hcom;
                ISDN_DATA_CMD a = control(ISDN_CLASS_CONTROL, ISDN_CODE_CALL_RESP, m.hcom);
                std::memcpy(a.called_number, m.number.c_str(), m.number.size() + 1);
                r->responses.push_back(transport(r->dev, &a, ISDN_CMD_SIZE));
            }
            break;
        }
    }
}

namespace {

// Sends `frames` frames of `bytes` on a handle one after the other, as the
// general thread's sending pass does, `gap_ms` apart; honours flow control
// as seen by `flow` when given.
struct Sender {
    PDEVICE_OBJECT dev = nullptr;
    UCHAR hcom = 0;
    int frames = 0;
    std::size_t bytes = 0;
    LONGLONG gap_ms = 0;
    const Reader *flow = nullptr;
    std::vector<ULONG> results;
    std::vector<Ticks> issued, answered;
};

} // namespace

VOID NTAPI ExchangeSenderThread(PVOID p) {
    auto *s = static_cast<Sender *>(p);
    for (int i = 0; i < s->frames; ++i) {
        while (s->flow && s->flow->flow_off)
            pause_ms(1);
        ISDN_DATA_CMD b = control(ISDN_CLASS_CONTROL, ISDN_CODE_SEND, s->hcom);
        b.data_length = static_cast<USHORT>(s->bytes);
        std::vector<UCHAR> payload = IsdnExchange::pattern(100 + i, s->bytes);
        if (!payload.empty())
            std::memcpy(b.data, payload.data(), payload.size());
        s->issued.push_back(Host::current().now());
        s->results.push_back(transport(s->dev, &b, ISDN_DATA_CMD_SIZE));
        s->answered.push_back(Host::current().now());
        if (s->gap_ms)
            pause_ms(s->gap_ms);
    }
}

namespace {

HostOptions options(std::uint64_t seed) {
    HostOptions o;
    o.seed = seed;
    if (const char *s = std::getenv("TOLVANEX_SEED"); s && seed == 0)
        o.seed = std::strtoull(s, nullptr, 10);
    return o;
}

// A host in exchange mode with the device open, and helpers that act as
// the driver. The helpers' records are declared before the host so that
// they outlive the threads the host unwinds.
class Bench {
  public:
    explicit Bench(std::uint64_t seed = 0) : host(options(seed)) {
        host.isdn().attach();
        x = &host.isdn().use_exchange();
        UNICODE_STRING name{32, 34, const_cast<char16_t *>(PIMISDN_DEVICE_NAME)};
        EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &dev), STATUS_SUCCESS);
    }

    Cmd &start(ISDN_DATA_CMD block, ULONG length = ISDN_CMD_SIZE) {
        Cmd &c = cmds.emplace_back();
        c.dev = dev;
        c.block = block;
        c.length = length;
        spawn(ExchangeCommandThread, &c);
        return c;
    }
    // Issues a command and lets it be answered.
    Cmd &run(ISDN_DATA_CMD block, ULONG length = ISDN_CMD_SIZE) {
        Cmd &c = start(block, length);
        host.settle();
        EXPECT_TRUE(c.done);
        return c;
    }
    Cmd &call(const std::string &number) {
        ISDN_DATA_CMD b = control(ISDN_CLASS_CONTROL, ISDN_CODE_CALL, 0);
        std::strcpy(b.local_address, kLocal);
        std::strcpy(b.called_number, number.c_str());
        return run(b);
    }
    Cmd &listen(const std::string &address) {
        ISDN_DATA_CMD b = control(ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN, 0);
        std::strcpy(b.local_address, address.c_str());
        return run(b);
    }
    ULONG simple(UCHAR command, UCHAR code, UCHAR hcom) { return run(control(command, code, hcom)).result; }
    ULONG send(UCHAR hcom, const std::vector<UCHAR> &data) {
        ISDN_DATA_CMD b = control(ISDN_CLASS_CONTROL, ISDN_CODE_SEND, hcom);
        b.data_length = static_cast<USHORT>(data.size());
        if (!data.empty())
            std::memcpy(b.data, data.data(), data.size());
        return run(b, ISDN_DATA_CMD_SIZE).result;
    }
    Reader &reader(UCHAR hcom, Reader *next = nullptr) {
        Reader &r = readers.emplace_back();
        r.dev = dev;
        r.hcom = hcom;
        r.next = next;
        spawn(ExchangeReaderThread, &r);
        host.settle();
        return r;
    }
    Sender &sender(UCHAR hcom, int frames, std::size_t bytes, LONGLONG gap_ms = 0, const Reader *flow = nullptr) {
        Sender &s = senders.emplace_back();
        s.dev = dev;
        s.hcom = hcom;
        s.frames = frames;
        s.bytes = bytes;
        s.gap_ms = gap_ms;
        s.flow = flow;
        spawn(ExchangeSenderThread, &s);
        return s;
    }
    // An outgoing call to a party that answers at once, with its reader.
    Reader &connected(const std::string &number) {
        Cmd &c = call(number);
        EXPECT_EQ(c.result, 0u);
        Reader &r = reader(c.hcom());
        host.run_for(millis(1));
        EXPECT_EQ(r.count(APP_CONN_CO), 1u);
        return r;
    }
    IsdnCall call_info(std::size_t index) {
        auto calls = x->calls();
        if (index >= calls.size())
            throw HostError("no call #" + std::to_string(index));
        return calls[index];
    }

    std::deque<Cmd> cmds;
    std::deque<Reader> readers;
    std::deque<Sender> senders;
    Host host;
    IsdnExchange *x = nullptr;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT dev = nullptr;
};

class ExchangeTest : public ::testing::Test, public Bench {};

std::size_t isdn_trace(Host &host, std::string_view needle) {
    return host.trace().count(TraceKind::Isdn, needle);
}

} // namespace

// ---- Outgoing calls -----------------------------------------------------------

TEST_F(ExchangeTest, OutgoingCallGetsItsHandleAtOnceAndConnectsWhenThePartyAnswers) {
    x->add_party(Party{.number = kRemote, .answer = Party::Answer::After, .delay = seconds(2)});
    Ticks t0 = host.now();
    Cmd &c = call(kRemote);
    EXPECT_EQ(c.result, 0u);
    EXPECT_EQ(c.done_at, t0) << "the handle comes back at once";
    UCHAR h = c.hcom();
    EXPECT_GE(h, ISDN_HCOM_MIN);
    EXPECT_LE(h, ISDN_HCOM_MAX);
    Reader &r = reader(h);
    host.run_for(millis(1999));
    EXPECT_TRUE(r.got.empty()) << "still ringing";
    EXPECT_EQ(call_info(0).state, IsdnCallState::Dialling);
    host.run_for(millis(1));
    ASSERT_EQ(r.got.size(), 1u);
    EXPECT_EQ(r.got[0].code, APP_CONN_CO);
    EXPECT_EQ(r.got[0].at, t0 + seconds(2));
    IsdnCall info = call_info(0);
    EXPECT_EQ(info.state, IsdnCallState::Connected);
    EXPECT_TRUE(info.outgoing);
    EXPECT_EQ(info.remote, kRemote);
    EXPECT_EQ(info.local, kLocal);
    EXPECT_EQ(info.channel, 0);
    EXPECT_EQ(x->channels()[0].handle, h);
    EXPECT_EQ(x->party_stats(kRemote).calls, 1u);
    EXPECT_EQ(isdn_trace(host, std::string(kRemote) + " answers call hCom " + std::to_string(h) + " on B1"), 1u);
}

TEST_F(ExchangeTest, BusyRefusingAndUnknownNumbersAreClearedWithTheirCauses) {
    x->add_party(Party{.number = "111", .answer = Party::Answer::Busy});
    x->add_party(Party{.number = "222", .answer = Party::Answer::Refuse, .delay = seconds(3)});
    x->add_party(Party{.number = "333", .answer = Party::Answer::Busy, .cause = 27});
    struct Case {
        std::string number;
        UCHAR cause;
        Ticks after;
    };
    for (const Case &k :
         {Case{"111", 17, 0}, Case{"222", 21, seconds(3)}, Case{"333", 27, 0}, Case{"999", 1, 0}, Case{"", 28, 0}}) {
        SCOPED_TRACE("number '" + k.number + "'");
        Ticks t0 = host.now();
        Cmd &c = call(k.number);
        ASSERT_EQ(c.result, 0u) << "the call itself is taken";
        Reader &r = reader(c.hcom());
        host.run_for(seconds(5));
        ASSERT_EQ(r.got.size(), 2u);
        EXPECT_EQ(r.got[0].code, APP_CLEAR_IN);
        EXPECT_EQ(r.got[0].cause, k.cause);
        EXPECT_EQ(r.got[0].at, t0 + k.after);
        EXPECT_EQ(r.responses, std::vector<ULONG>{0u}) << "the clear response is taken";
        EXPECT_EQ(r.got[1].code, APP_CLEAR_CO);
        EXPECT_EQ(x->calls().back().state, IsdnCallState::Released);
        EXPECT_EQ(x->calls().back().cause, k.cause);
        EXPECT_EQ(x->channels()[0].handle, 0) << "the channel is free again";
    }
    EXPECT_EQ(isdn_trace(host, "111 clears call hCom 1 (busy), cause 17"), 1u);
    EXPECT_EQ(isdn_trace(host, "222 clears call hCom 2 (refuses), cause 21"), 1u);
    EXPECT_EQ(isdn_trace(host, "the network clears call hCom 4 (999 is not a number), cause 1"), 1u);
}

TEST_F(ExchangeTest, NeverAnsweredCallRingsUntilTheDriverClearsIt) {
    x->add_party(Party{.number = kRemote, .answer = Party::Answer::Never});
    Cmd &c = call(kRemote);
    UCHAR h = c.hcom();
    Reader &r = reader(h);
    host.run_for(seconds(3600));
    EXPECT_TRUE(r.got.empty());
    EXPECT_EQ(call_info(0).state, IsdnCallState::Dialling);
    EXPECT_EQ(x->channels()[0].handle, h) << "a ringing call holds its B channel";

    EXPECT_EQ(simple(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, h), 0u);
    host.settle();
    ASSERT_EQ(r.got.size(), 1u);
    EXPECT_EQ(r.got[0].code, APP_CLEAR_CO);
    EXPECT_EQ(call_info(0).state, IsdnCallState::Released);
    EXPECT_EQ(call_info(0).end, "cleared by the driver");
    EXPECT_EQ(x->channels()[0].handle, 0);
    EXPECT_EQ(simple(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, h), kIsdnBadHandle) << "the handle is gone";
}

TEST_F(ExchangeTest, ThirdCallFindsBothChannelsInUse) {
    x->add_party(Party{.number = kRemote});
    x->add_party(Party{.number = "0611223344"});
    Reader &a = connected(kRemote);
    Reader &b = connected("0611223344");
    EXPECT_EQ(x->channels()[0].handle, a.hcom);
    EXPECT_EQ(x->channels()[1].handle, b.hcom);
    Cmd &c = call(kRemote);
    Reader &r = reader(c.hcom());
    host.run_for(millis(10));
    ASSERT_NE(r.first(APP_CLEAR_IN), nullptr);
    EXPECT_EQ(r.first(APP_CLEAR_IN)->cause, isdn_cause::kNoChannel);

    // And an incoming call is not offered either.
    x->set_local(kLocal);
    Cmd &l = listen("");
    Reader &lr = reader(l.hcom());
    x->call_in(CallIn{.from = "0699887766", .at = host.now()});
    host.run_for(millis(10));
    EXPECT_TRUE(lr.got.empty());
    EXPECT_EQ(x->calls().back().end, "both B channels in use, not offered");
}

// ---- Clearing in both directions ------------------------------------------------

TEST_F(ExchangeTest, ClearingByTheDriverAndByThePartyEachEndInAConfirmation) {
    x->add_party(Party{.number = kRemote, .clear_after = seconds(30)});
    x->add_party(Party{.number = "0611223344"});

    // Ours: 'C' on a connected call, confirmed at once.
    Reader &ours = connected("0611223344");
    UCHAR h1 = ours.hcom;
    EXPECT_EQ(simple(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR_RESP, h1), kIsdnWrongState) << "no clearing to respond to";
    EXPECT_EQ(simple(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, h1), 0u);
    host.settle();
    ASSERT_EQ(ours.got.size(), 2u);
    EXPECT_EQ(ours.got[1].code, APP_CLEAR_CO);
    EXPECT_EQ(ours.count(APP_CLEAR_IN), 0u);

    // Theirs: APP_CLEAR_IN after 30 s, the driver's 'D', then APP_CLEAR_CO.
    Reader &theirs = connected(kRemote);
    UCHAR h2 = theirs.hcom;
    EXPECT_NE(h2, h1) << "handles are given round robin";
    Ticks connected_at = theirs.got[0].at;
    host.run_for(seconds(31));
    ASSERT_EQ(theirs.got.size(), 3u);
    EXPECT_EQ(theirs.got[1].code, APP_CLEAR_IN);
    EXPECT_EQ(theirs.got[1].cause, isdn_cause::kNormalClearing);
    EXPECT_EQ(theirs.got[1].at, connected_at + seconds(30));
    EXPECT_EQ(theirs.responses, std::vector<ULONG>{0u});
    EXPECT_EQ(theirs.got[2].code, APP_CLEAR_CO);
    EXPECT_EQ(x->calls().back().end, std::string("cleared by ") + kRemote + ", cause 16");
    EXPECT_EQ(x->channels()[0].handle, 0);
    EXPECT_EQ(x->channels()[1].handle, 0);
}

TEST_F(ExchangeTest, AClearWhileTheNetworkClearsActsAsTheResponse) {
    x->add_party(Party{.number = kRemote, .clear_after = seconds(1)});
    Reader &r = connected(kRemote);
    r.clear_response = false;
    host.run_for(seconds(2));
    ASSERT_EQ(r.got.size(), 2u);
    EXPECT_EQ(r.got[1].code, APP_CLEAR_IN);
    EXPECT_EQ(call_info(0).state, IsdnCallState::ClearingRemote);
    EXPECT_EQ(simple(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, call_info(0).handle), 0u);
    host.settle();
    ASSERT_EQ(r.got.size(), 3u);
    EXPECT_EQ(r.got[2].code, APP_CLEAR_CO);
    EXPECT_EQ(call_info(0).end, std::string("cleared by ") + kRemote + ", cause 16");
}

// ---- Incoming calls -------------------------------------------------------------

TEST_F(ExchangeTest, IncomingCallMatchingNumberAndSubaddressIsOfferedAndAccepted) {
    x->set_local(kLocal);
    x->add_party(Party{.number = "0611223344", .echo = true});
    Cmd &l = listen(std::string(kLocal) + "*12");
    ASSERT_EQ(l.result, 0u);
    UCHAR hl = l.hcom();
    ASSERT_EQ(x->listens().size(), 1u);
    EXPECT_EQ(x->listens()[0].second, std::string(kLocal) + "*12");
    Reader &b1 = reader(0);
    Reader &lr = reader(hl, &b1);
    Ticks at = host.now() + seconds(5);
    x->call_in(CallIn{.from = "0611223344", .subaddress = "12", .at = at});
    host.run_for(seconds(6));

    ASSERT_EQ(lr.got.size(), 1u);
    EXPECT_EQ(lr.got[0].code, APP_CONN_IN);
    EXPECT_EQ(lr.got[0].at, at);
    EXPECT_EQ(lr.got[0].number, "0611223344");
    UCHAR hc = lr.got[0].hcom;
    EXPECT_NE(hc, hl) << "the new call has a handle of its own";
    EXPECT_EQ(lr.responses, std::vector<ULONG>{0u}) << "the call response is taken";
    ASSERT_EQ(b1.got.size(), 1u);
    EXPECT_EQ(b1.got[0].code, APP_CONN_CO);
    IsdnCall info = call_info(0);
    EXPECT_FALSE(info.outgoing);
    EXPECT_EQ(info.state, IsdnCallState::Connected);
    EXPECT_EQ(info.local, kLocal);
    EXPECT_EQ(info.subaddress, "12");
    EXPECT_TRUE(x->listens().empty()) << "a listen takes one call";
    EXPECT_EQ(simple(ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN, hl), kIsdnBadHandle);
    EXPECT_EQ(simple(ISDN_CLASS_CONTROL, ISDN_CODE_CALL_RESP, hc), kIsdnWrongState) << "already connected";

    // The caller's behaviour applies to the call it made: it echoes.
    EXPECT_EQ(send(hc, {1, 2, 3}), 0u);
    host.settle();
    ASSERT_EQ(b1.got.size(), 2u);
    EXPECT_EQ(b1.got[1].code, APP_DATA_IN);
    EXPECT_EQ(b1.got[1].data, (std::vector<UCHAR>{1, 2, 3}));
}

TEST_F(ExchangeTest, IncomingCallsThatNoListenMatchesAreNotOffered) {
    x->set_local(kLocal);
    Cmd &l = listen(std::string(kLocal) + "*12");
    Reader &b1 = reader(0);
    Reader &lr = reader(l.hcom(), &b1);
    Ticks t = host.now();
    x->call_in(CallIn{.from = "0611223344", .subaddress = "13", .at = t + seconds(1)});
    x->call_in(CallIn{.from = "0611223344", .at = t + seconds(2)});
    x->call_in(CallIn{.from = "0611223344", .to = "0149999999", .subaddress = "12", .at = t + seconds(3)});
    host.run_for(seconds(4));
    EXPECT_TRUE(lr.got.empty());
    ASSERT_EQ(x->calls().size(), 3u);
    for (auto &c : x->calls()) {
        EXPECT_EQ(c.state, IsdnCallState::Released);
        EXPECT_EQ(c.handle, 0);
        EXPECT_EQ(c.end, "no listen takes it, not offered");
    }
    EXPECT_EQ(isdn_trace(host, "call from 0611223344 to 0140000000*13: no listen takes it"), 1u);
    EXPECT_EQ(x->listens().size(), 1u) << "the listen is still there";

    // The one that matches is offered.
    x->call_in(CallIn{.from = "0611223344", .to = kLocal, .subaddress = "12", .at = host.now()});
    host.run_for(millis(10));
    EXPECT_EQ(lr.count(APP_CONN_IN), 1u);
}

TEST(ExchangeListenRule, EmptyPartsMatchAnythingAndASubaddressFilterNeedsOne) {
    EXPECT_TRUE(IsdnExchange::listen_matches("", "0140000000", ""));
    EXPECT_TRUE(IsdnExchange::listen_matches("", "0140000000", "7"));
    EXPECT_TRUE(IsdnExchange::listen_matches("0140000000", "0140000000", "7"));
    EXPECT_FALSE(IsdnExchange::listen_matches("0140000000", "0140000001", ""));
    EXPECT_TRUE(IsdnExchange::listen_matches("*12", "0149999999", "12"));
    EXPECT_FALSE(IsdnExchange::listen_matches("*12", "0149999999", ""));
    EXPECT_FALSE(IsdnExchange::listen_matches("*12", "0149999999", "123"));
    EXPECT_TRUE(IsdnExchange::listen_matches("0140000000*12", "0140000000", "12"));
    EXPECT_FALSE(IsdnExchange::listen_matches("0140000000*12", "0140000000", "21"));
}

TEST_F(ExchangeTest, ACallerWhoseCallIsNotAnsweredGivesUp) {
    Cmd &l = listen("");
    Reader &lr = reader(l.hcom()); // reads the indication, accepts nothing
    x->call_in(CallIn{.from = "0611223344", .at = host.now(), .give_up_after = seconds(20)});
    host.run_for(millis(1));
    ASSERT_EQ(lr.count(APP_CONN_IN), 1u);
    Reader &b1 = reader(lr.got[0].hcom);
    host.run_for(seconds(21));
    ASSERT_EQ(b1.got.size(), 2u);
    EXPECT_EQ(b1.got[0].code, APP_CLEAR_IN);
    EXPECT_EQ(b1.got[1].code, APP_CLEAR_CO);
    EXPECT_EQ(call_info(0).end, "cleared by 0611223344 (gives up), cause 16");
}

TEST_F(ExchangeTest, TheDriverRefusesAnOfferedCallWithAClear) {
    Cmd &l = listen("");
    Reader &lr = reader(l.hcom());
    lr.accept = false;
    x->call_in(CallIn{.from = "0611223344", .at = host.now()});
    host.run_for(millis(1));
    ASSERT_EQ(lr.count(APP_CONN_IN), 1u);
    UCHAR hc = lr.got[0].hcom;
    EXPECT_EQ(simple(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, hc), 0u);
    EXPECT_EQ(call_info(0).state, IsdnCallState::Released);
    EXPECT_EQ(x->channels()[0].handle, 0);
}

// ---- Data -----------------------------------------------------------------------

TEST_F(ExchangeTest, AnEchoingPartySendsEveryFrameBack) {
    x->add_party(Party{.number = kRemote, .echo = true});
    Reader &r = connected(kRemote);
    std::vector<UCHAR> frame = IsdnExchange::pattern(7, 1600);
    EXPECT_EQ(send(r.hcom, frame), 0u);
    EXPECT_EQ(send(r.hcom, {}), 0u) << "an empty frame is a frame";
    host.settle();
    ASSERT_EQ(r.count(APP_DATA_IN), 2u);
    EXPECT_EQ(r.got[1].data, frame);
    EXPECT_TRUE(r.got[2].data.empty());
    ChannelStats s = x->channels()[0];
    EXPECT_EQ(s.frames_out, 2u);
    EXPECT_EQ(s.bytes_out, 1600u);
    EXPECT_EQ(s.frames_in, 2u);
    EXPECT_EQ(s.bytes_in, 1600u);
    EXPECT_EQ(x->party_stats(kRemote).frames_received, 2u);
    EXPECT_EQ(x->party_stats(kRemote).frames_sent, 2u);
}

TEST_F(ExchangeTest, SendsOutsideAConnectedCallOrTooLongAreRefused) {
    x->add_party(Party{.number = kRemote, .answer = Party::Answer::Never});
    x->add_party(Party{.number = "0611223344"});
    Cmd &ringing = call(kRemote);
    EXPECT_EQ(send(ringing.hcom(), {1}), kIsdnWrongState);
    EXPECT_EQ(send(9, {1}), kIsdnBadHandle);
    Reader &r = connected("0611223344");
    ISDN_DATA_CMD b = control(ISDN_CLASS_CONTROL, ISDN_CODE_SEND, r.hcom);
    b.data_length = 2049;
    EXPECT_EQ(run(b, ISDN_DATA_CMD_SIZE).result, kIsdnBadLength);
    b.data_length = 100;
    EXPECT_EQ(run(b, ISDN_CMD_SIZE).result, kIsdnBadLength) << "100 bytes cannot be in a short block";
    EXPECT_EQ(x->channels()[1].frames_out, 0u);
}

TEST_F(ExchangeTest, AStreamingPartySendsFramesAtItsRate) {
    x->add_party(Party{.number = kRemote, .stream = Party::Stream{.bytes = 200, .every = millis(50), .count = 10}});
    Reader &r = connected(kRemote);
    Ticks connected_at = r.got[0].at;
    host.run_for(seconds(2));
    ASSERT_EQ(r.count(APP_DATA_IN), 10u);
    for (std::size_t k = 0; k < 10; ++k) {
        const Msg &m = r.got[k + 1];
        EXPECT_EQ(m.at, connected_at + millis(50) * static_cast<Ticks>(k + 1));
        EXPECT_EQ(m.data, IsdnExchange::discard_frame(k, 200)) << "frame " << k;
    }
    EXPECT_EQ(x->channels()[0].bytes_in, 2000u);
    EXPECT_EQ(x->party_stats(kRemote).frames_sent, 10u);
}

TEST_F(ExchangeTest, AnEndlessStreamStopsWithTheCall) {
    x->add_party(Party{.number = kRemote, .stream = Party::Stream{.bytes = 10, .every = seconds(1)}});
    Reader &r = connected(kRemote);
    host.run_for(millis(10'500));
    EXPECT_EQ(r.count(APP_DATA_IN), 10u);
    EXPECT_EQ(simple(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, r.hcom), 0u);
    host.run_for(seconds(10));
    EXPECT_EQ(r.count(APP_DATA_IN), 10u);
    EXPECT_EQ(r.got.back().code, APP_CLEAR_CO);
}

TEST_F(ExchangeTest, APartyPlayedFromOutsideSeesItsFramesAndSendsPaced) {
    x->add_party(Party{.number = kRemote});
    x->add_party(Party{.number = "0611223344"});
    std::vector<std::vector<UCHAR>> tapped;
    x->tap_party(kRemote, [&](const std::vector<std::uint8_t> &f) { tapped.push_back(f); });
    EXPECT_THROW(x->tap_party("999", {}), HostError);
    EXPECT_FALSE(x->party_send(kRemote, {1, 2})) << "no call to carry it yet";
    EXPECT_EQ(x->party_backlog(kRemote), 0);

    Reader &r = connected(kRemote);
    Reader &other = connected("0611223344");
    x->set_pacing(true);
    EXPECT_EQ(send(other.hcom, {9}), 0u);
    EXPECT_EQ(send(r.hcom, IsdnExchange::pattern(1, 80)), 0u);
    host.run_for(millis(10));
    ASSERT_EQ(tapped.size(), 1u) << "only the tapped party's frames, once off the line";
    EXPECT_EQ(tapped[0], IsdnExchange::pattern(1, 80));

    // Two frames of 400 bytes: 50 ms each on the line towards the driver.
    Ticks t0 = host.now();
    ASSERT_TRUE(x->party_send(kRemote, IsdnExchange::pattern(2, 400)));
    ASSERT_TRUE(x->party_send(kRemote, IsdnExchange::pattern(3, 400)));
    EXPECT_EQ(x->party_backlog(kRemote), millis(100));
    host.run_for(millis(200));
    ASSERT_EQ(r.count(APP_DATA_IN), 2u);
    EXPECT_EQ(r.got[1].at, t0 + millis(50));
    EXPECT_EQ(r.got[2].at, t0 + millis(100));
    EXPECT_EQ(r.got[2].data, IsdnExchange::pattern(3, 400));
    EXPECT_EQ(x->party_backlog(kRemote), 0);
    EXPECT_EQ(x->party_stats(kRemote).frames_sent, 2u);
    EXPECT_EQ(other.count(APP_DATA_IN), 0u);

    x->tap_party(kRemote, {});
    EXPECT_EQ(send(r.hcom, {7}), 0u);
    host.run_for(millis(10));
    EXPECT_EQ(tapped.size(), 1u) << "untapped";
    EXPECT_EQ(simple(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, r.hcom), 0u);
    EXPECT_FALSE(x->party_send(kRemote, {1})) << "the call has ended";
}

// ---- Pacing and flow control ------------------------------------------------------

TEST_F(ExchangeTest, PacingHoldsEachDirectionOfTheChannel125MicrosecondsAByte) {
    x->add_party(Party{.number = kRemote, .echo = true});
    Reader &r = connected(kRemote);

    // Unpaced: the echo is back at once.
    Ticks t0 = host.now();
    EXPECT_EQ(send(r.hcom, IsdnExchange::pattern(0, 1600)), 0u);
    host.settle();
    ASSERT_EQ(r.count(APP_DATA_IN), 1u);
    EXPECT_EQ(r.got.back().at, t0);

    // Paced: 1600 bytes take 200 ms out and 200 ms back.
    x->set_pacing(true);
    t0 = host.now();
    ISDN_DATA_CMD paced = control(ISDN_CLASS_CONTROL, ISDN_CODE_SEND, r.hcom);
    paced.data_length = 1600;
    Cmd &c = start(paced, ISDN_DATA_CMD_SIZE);
    host.settle();
    EXPECT_EQ(c.done_at, t0) << "a send the queue has room for is answered at once";
    host.run_for(millis(199));
    EXPECT_EQ(x->party_stats(kRemote).frames_received, 1u) << "still on the line";
    host.run_for(millis(1));
    EXPECT_EQ(x->party_stats(kRemote).frames_received, 2u);
    host.run_for(seconds(1));
    ASSERT_EQ(r.count(APP_DATA_IN), 2u);
    EXPECT_EQ(r.got.back().at, t0 + millis(400));

    // Back-to-back frames follow one another on the line.
    t0 = host.now();
    Sender &s = sender(r.hcom, 3, 800);
    host.run_for(seconds(1));
    EXPECT_EQ(s.answered, (std::vector<Ticks>{t0, t0, t0}));
    std::vector<Ticks> echoes;
    for (auto &m : r.got)
        if (m.code == APP_DATA_IN && m.at > t0)
            echoes.push_back(m.at - t0);
    EXPECT_EQ(echoes, (std::vector<Ticks>{millis(200), millis(300), millis(400)}));
}

TEST_F(ExchangeTest, APacedStreamFasterThanTheLineArrivesAtTheLineRate) {
    x->set_pacing(true);
    // 500 bytes hold the channel 62.5 ms, longer than the 40 ms between frames.
    x->add_party(Party{.number = kRemote, .stream = Party::Stream{.bytes = 500, .every = millis(40), .count = 4}});
    Reader &r = connected(kRemote);
    Ticks c = r.got[0].at;
    host.run_for(seconds(1));
    std::vector<Ticks> arrivals;
    for (auto &m : r.got)
        if (m.code == APP_DATA_IN)
            arrivals.push_back(m.at - c);
    EXPECT_EQ(arrivals, (std::vector<Ticks>{millis(40) + 625'000, millis(40) + 2 * 625'000, millis(40) + 3 * 625'000,
                                            millis(40) + 4 * 625'000}));
}

TEST_F(ExchangeTest, TurningPacingOffKeepsQueuedFramesInOrder) {
    x->set_pacing(true);
    x->add_party(Party{.number = kRemote, .echo = true});
    Reader &r = connected(kRemote);
    EXPECT_EQ(send(r.hcom, IsdnExchange::pattern(1, 1600)), 0u);
    EXPECT_EQ(send(r.hcom, IsdnExchange::pattern(2, 1600)), 0u);
    x->set_pacing(false);
    EXPECT_EQ(send(r.hcom, IsdnExchange::pattern(3, 10)), 0u);
    host.run_for(seconds(1));
    std::vector<std::vector<UCHAR>> echoed;
    for (auto &m : r.got)
        if (m.code == APP_DATA_IN)
            echoed.push_back(m.data);
    EXPECT_EQ(echoed, (std::vector<std::vector<UCHAR>>{IsdnExchange::pattern(1, 1600), IsdnExchange::pattern(2, 1600),
                                                       IsdnExchange::pattern(3, 10)}));
}

TEST_F(ExchangeTest, FlowOffAtTheHighMarkOnAtTheLowAndSendsWaitAtCapacity) {
    EXPECT_THROW(x->set_flow_marks(3, 3, 5), HostError);
    EXPECT_THROW(x->set_flow_marks(6, 1, 5), HostError);
    x->set_flow_marks(3, 1, 5);
    x->set_pacing(true);
    x->add_party(Party{.number = kRemote});
    Reader &r = connected(kRemote);
    Ticks t0 = host.now();
    Sender &s = sender(r.hcom, 6, 800); // 100 ms a frame, flow control ignored
    host.run_for(millis(50));
    EXPECT_EQ(s.answered.size(), 5u) << "the sixth send waits for room";
    EXPECT_EQ(x->channels()[0].queued, 5u);
    ASSERT_EQ(r.count(APP_FLOW_OFF), 1u);
    EXPECT_EQ(r.first(APP_FLOW_OFF)->at, t0);
    host.run_for(seconds(1));
    ASSERT_EQ(s.answered.size(), 6u);
    EXPECT_EQ(s.answered[5], t0 + millis(100)) << "answered when the first frame left";
    EXPECT_EQ(s.results, std::vector<ULONG>(6, 0u));
    ASSERT_EQ(r.count(APP_FLOW_ON), 1u);
    EXPECT_EQ(r.first(APP_FLOW_ON)->at, t0 + millis(500)) << "one frame left in the queue";
    EXPECT_EQ(x->party_stats(kRemote).frames_received, 6u);
    EXPECT_EQ(x->channels()[0].flow_off, 1u);
    EXPECT_EQ(x->channels()[0].flow_on, 1u);
}

TEST_F(ExchangeTest, ASenderThatHonoursFlowControlNeverWaits) {
    x->set_flow_marks(3, 1, 5);
    x->set_pacing(true);
    x->add_party(Party{.number = kRemote});
    Reader &r = connected(kRemote);
    Ticks t0 = host.now();
    Sender &s = sender(r.hcom, 8, 800, 10, &r);
    host.run_for(seconds(3));
    ASSERT_EQ(s.answered.size(), 8u);
    EXPECT_EQ(s.answered, s.issued) << "no send had to wait";
    ASSERT_GE(r.count(APP_FLOW_OFF), 1u);
    EXPECT_EQ(r.first(APP_FLOW_OFF)->at, t0 + millis(20));
    ASSERT_GE(r.count(APP_FLOW_ON), 1u);
    EXPECT_EQ(r.first(APP_FLOW_ON)->at, t0 + millis(200));
    EXPECT_GE(s.issued[3], t0 + millis(200)) << "the fourth frame waited for flow on";
    EXPECT_EQ(x->party_stats(kRemote).frames_received, 8u);
}

TEST_F(ExchangeTest, ClearingDropsQueuedFramesAndFailsWaitingSends) {
    x->set_flow_marks(2, 1, 2);
    x->set_pacing(true);
    x->add_party(Party{.number = kRemote});
    Reader &r = connected(kRemote);
    Sender &s = sender(r.hcom, 3, 2000);
    host.run_for(millis(10));
    ASSERT_EQ(s.answered.size(), 2u);
    EXPECT_EQ(simple(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, r.hcom), 0u);
    host.settle();
    ASSERT_EQ(s.results.size(), 3u);
    EXPECT_EQ(s.results[2], kIsdnWrongState);
    host.run_for(seconds(1));
    EXPECT_EQ(x->party_stats(kRemote).frames_received, 0u) << "nothing had left yet";
}

// ---- Listens, handles, unknown commands ---------------------------------------------

TEST_F(ExchangeTest, CancelListenEndsTheListenAndFailsItsPendingRead) {
    Cmd &l = listen(std::string(kLocal) + "*5");
    UCHAR h = l.hcom();
    Reader &lr = reader(h);
    host.run_for(seconds(10));
    EXPECT_TRUE(lr.got.empty());
    EXPECT_EQ(host.isdn().pending_reads(h), 1u);
    EXPECT_EQ(simple(ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN, h), 0u);
    host.settle();
    EXPECT_EQ(lr.failure, kIsdnCancelled);
    EXPECT_EQ(host.isdn().pending_reads(h), 0u);
    EXPECT_TRUE(x->listens().empty());
    EXPECT_EQ(simple(ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN, h), kIsdnBadHandle);
    x->call_in(CallIn{.from = "0611223344", .to = kLocal, .subaddress = "5", .at = host.now()});
    host.run_for(millis(10));
    EXPECT_EQ(call_info(0).end, "no listen takes it, not offered");
}

TEST_F(ExchangeTest, HandlesRunOutAndUnknownCommandsAndHandlesAreRefused) {
    EXPECT_EQ(simple(ISDN_CLASS_CONTROL, 0x55, 0), kIsdnUnknownCommand);
    EXPECT_EQ(simple(7, 1, 0), kIsdnUnknownCommand);
    EXPECT_EQ(simple(ISDN_CLASS_CANCEL, 2, 0), kIsdnUnknownCommand);
    EXPECT_EQ(simple(ISDN_CLASS_CONTROL, ISDN_CODE_CALL_RESP, 3), kIsdnBadHandle);
    EXPECT_EQ(simple(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR_RESP, 0), kIsdnBadHandle);

    Reader &stray = reader(12);
    EXPECT_EQ(stray.failure, kIsdnBadHandle) << "a read on a free handle fails at once";

    std::vector<UCHAR> handles;
    for (int i = 0; i < 16; ++i) {
        Cmd &l = listen("");
        ASSERT_EQ(l.result, 0u);
        handles.push_back(l.hcom());
    }
    std::vector<UCHAR> expected;
    for (UCHAR h = 1; h <= 16; ++h)
        expected.push_back(h);
    EXPECT_EQ(handles, expected);
    EXPECT_EQ(listen("").result, kIsdnNoHandle);
    EXPECT_EQ(call(kRemote).result, kIsdnNoHandle);
    EXPECT_EQ(simple(ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN, 4), 0u);
    EXPECT_EQ(simple(ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN, 9), 0u);
    EXPECT_EQ(listen("").hcom(), 4) << "the next free after the last given";
    EXPECT_EQ(listen("").hcom(), 9);
}

TEST_F(ExchangeTest, InjectedFaultsFailTheCommandAndChangeNothing) {
    x->add_party(Party{.number = kRemote});
    host.faults().fail_nth("isdn.call", 1);
    EXPECT_EQ(call(kRemote).result, 1u);
    EXPECT_TRUE(x->calls().empty());
    Cmd &c = call(kRemote);
    EXPECT_EQ(c.result, 0u);
    EXPECT_EQ(c.hcom(), 1);
}

TEST_F(ExchangeTest, TheClientsLastCloseEndsItsCallsListensAndRequests) {
    x->set_pacing(true);
    x->set_flow_marks(1, 0, 1);
    x->add_party(Party{.number = kRemote});
    Reader &r = connected(kRemote);
    Sender &s = sender(r.hcom, 3, 2000);
    Cmd &l = listen("");
    Reader &lr = reader(l.hcom());
    host.run_for(millis(1));
    ASSERT_EQ(s.answered.size(), 1u);
    ObfDereferenceObject(file);
    host.settle();
    EXPECT_EQ(r.failure, 1u) << "the read is cancelled";
    EXPECT_EQ(lr.failure, 1u);
    ASSERT_GE(s.results.size(), 2u);
    EXPECT_EQ(s.results[1], 1u) << "the waiting send is cancelled";
    EXPECT_EQ(call_info(0).end, "the client closed the device");
    EXPECT_TRUE(x->listens().empty());
    EXPECT_TRUE(host.outstanding_irps().empty());
}

// ---- The control API ----------------------------------------------------------------

TEST_F(ExchangeTest, BadScenarioInputIsAHostError) {
    EXPECT_THROW(x->add_party(Party{.number = ""}), HostError);
    EXPECT_THROW(x->add_party(Party{.number = "01-40"}), HostError);
    EXPECT_THROW(x->add_party(Party{.number = std::string(33, '1')}), HostError);
    EXPECT_THROW(x->add_party(Party{.number = "1", .delay = -1}), HostError);
    EXPECT_THROW(x->add_party(Party{.number = "1", .stream = Party::Stream{.bytes = 2049, .every = 1}}), HostError);
    EXPECT_THROW(x->add_party(Party{.number = "1", .stream = Party::Stream{.bytes = 10, .every = 0}}), HostError);
    x->add_party(Party{.number = "1"});
    EXPECT_THROW(x->add_party(Party{.number = "1"}), HostError);
    EXPECT_THROW(x->set_local("01 40"), HostError);
    EXPECT_THROW(x->call_in(CallIn{.from = "", .at = host.now()}), HostError);
    EXPECT_THROW(x->call_in(CallIn{.from = "1", .subaddress = "*1", .at = host.now()}), HostError);
    host.run_for(seconds(1));
    EXPECT_THROW(x->call_in(CallIn{.from = "1", .at = host.now() - 1}), HostError);
    EXPECT_THROW(x->party_stats("2"), HostError);
    EXPECT_THROW(host.isdn().answer(1, 0), HostError) << "the exchange answers";
    EXPECT_THROW(host.isdn().fail(1, STATUS_CANCELLED), HostError);
    EXPECT_EQ(&host.isdn().use_exchange(), x) << "one exchange";
}

TEST(ExchangeMode, IsRefusedWhileAScriptedCommandWaits) {
    Host host;
    host.isdn().attach();
    EXPECT_THROW(host.isdn().exchange(), HostError);
    Cmd c;
    UNICODE_STRING name{32, 34, const_cast<char16_t *>(PIMISDN_DEVICE_NAME)};
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &c.dev), STATUS_SUCCESS);
    c.block = control(ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN, 0);
    spawn(ExchangeCommandThread, &c);
    host.settle();
    ASSERT_NE(host.isdn().next_unanswered(), nullptr);
    EXPECT_THROW(host.isdn().use_exchange(), HostError);
    host.isdn().answer(host.isdn().next_unanswered()->id, 0, 1);
    host.settle();
    EXPECT_TRUE(c.done);
    EXPECT_NO_THROW(host.isdn().use_exchange());
    EXPECT_TRUE(host.isdn().exchange_mode());
}

// ---- Determinism -----------------------------------------------------------------------

namespace {

// Outgoing and incoming calls, echo, a stream, pacing and flow control,
// clearing both ways; returns the ISDN part of the trace.
std::string story(std::uint64_t seed) {
    Bench b(seed);
    IsdnExchange &x = *b.x;
    x.set_local(kLocal);
    x.set_pacing(true);
    x.set_flow_marks(3, 1, 4);
    x.add_party(Party{.number = kRemote, .delay = millis(1500), .echo = true, .clear_after = seconds(20)});
    x.add_party(Party{.number = "0611223344", .stream = Party::Stream{.bytes = 500, .every = millis(40), .count = 50}});
    Reader &b2 = b.reader(0);
    Cmd &l = b.listen(std::string(kLocal) + "*3");
    b.reader(l.hcom(), &b2);
    x.call_in(CallIn{.from = "0611223344", .subaddress = "3", .at = b.host.now() + seconds(1)});
    Cmd &c = b.call(kRemote);
    Reader &b1 = b.reader(c.hcom());
    b.host.run_for(seconds(2));
    b.sender(c.hcom(), 12, 1000, 5, &b1);
    b.sender(b2.hcom, 6, 300);
    b.host.run_for(seconds(30));
    if (b2.hcom)
        b.simple(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, b2.hcom);
    b.host.run_for(seconds(1));
    std::string out;
    for (auto *r : b.host.trace().find(TraceKind::Isdn))
        out += Trace::render(*r) + "\n";
    return out;
}

} // namespace

TEST(ExchangeDeterminism, TheSameSeedGivesTheSameTrace) {
    for (std::uint64_t seed : {0u, 7u, 123u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::string a = story(seed), b = story(seed);
        EXPECT_EQ(a, b);
        EXPECT_NE(a.find("answers call hCom"), std::string::npos);
        EXPECT_NE(a.find("APP_CONN_IN"), std::string::npos);
        EXPECT_NE(a.find("flow off"), std::string::npos);
        EXPECT_NE(a.find("clears call hCom"), std::string::npos);
    }
}
