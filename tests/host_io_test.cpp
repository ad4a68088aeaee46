// The object namespace, I/O requests that pend and complete, the scripted
// ISDN driver, and fault injection.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "host.h"
#include "host_faults.h"
#include "host_isdn.h"
#include "host_records.h"
#include "nt/io_manager.h"
#include "ntkernel.h"
#include "pimisdn.h"

using namespace tolvanex::host;

namespace {

UNICODE_STRING ustr(const char16_t *s) {
    USHORT n = 0;
    while (s[n])
        ++n;
    return UNICODE_STRING{static_cast<USHORT>(n * 2), static_cast<USHORT>(n * 2 + 2), const_cast<char16_t *>(s)};
}

PDEVICE_OBJECT open_isdn() {
    UNICODE_STRING name = ustr(PIMISDN_DEVICE_NAME);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT dev = nullptr;
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &dev), STATUS_SUCCESS);
    return dev;
}

// One exchange as a driver thread makes it: build, call, wait if pended.
struct Exchange {
    PDEVICE_OBJECT dev = nullptr;
    ISDN_DATA_CMD block{};
    ULONG length = ISDN_CMD_SIZE;
    NTSTATUS call_status = -1;
    NTSTATUS final_status = -1;
    bool done = false;
};

VOID NTAPI ExchangeThread(PVOID p) {
    auto *x = static_cast<Exchange *>(p);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_PIMISDN_COMMAND, x->dev, &x->block, x->length, &x->block,
                                             x->length, FALSE, &event, &iosb);
    x->call_status = IofCallDriver(x->dev, irp);
    if (x->call_status == STATUS_PENDING)
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
    x->final_status = iosb.u.Status;
    x->done = true;
}

void start(Exchange &x) {
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, ExchangeThread, &x), STATUS_SUCCESS);
}

} // namespace

TEST(ObjectNamespace, SymbolicLinksAndDeviceLookups) {
    Host host;
    UNICODE_STRING link = ustr(u"\\DosDevices\\Tolvanex"), target = ustr(u"\\Device\\Tolvanex");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    UNICODE_STRING same_other_case = ustr(u"\\DOSDEVICES\\TOLVANEX");
    EXPECT_EQ(IoCreateSymbolicLink(&same_other_case, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(host.objects().link_exists("\\DosDevices\\Tolvanex"));
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    host.faults().fail_nth("IoCreateSymbolicLink", 3); // calls count from the start of the run
    EXPECT_NE(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_FALSE(host.objects().link_exists("\\DosDevices\\Tolvanex"));

    UNICODE_STRING name = ustr(PIMISDN_DEVICE_NAME);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT dev = nullptr;
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &dev), STATUS_OBJECT_NAME_NOT_FOUND);
    host.isdn().attach();
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &dev), STATUS_SUCCESS);
    EXPECT_NE(dev, nullptr);
    host.faults().fail_nth("IoGetDeviceObjectPointer", 3);
    EXPECT_NE(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &dev), STATUS_SUCCESS);
    EXPECT_THROW(host.objects().add_device("no-backslash", host.isdn()), HostError);
}

TEST(ScriptedIsdn, CommandWaitsForItsAnswerAndGetsTheHandle) {
    Host host;
    host.isdn().attach();
    Exchange x;
    x.dev = open_isdn();
    x.block.command = ISDN_CLASS_CONTROL;
    x.block.code = ISDN_CODE_CALL;
    std::strcpy(x.block.called_number, "0123456789");
    start(x);
    host.run_for(seconds(60));
    EXPECT_EQ(x.call_status, STATUS_PENDING);
    EXPECT_FALSE(x.done) << "a command lasts as long as the ISDN driver holds it";
    const IsdnCommandRecord *cmd = host.isdn().next_unanswered();
    ASSERT_NE(cmd, nullptr);
    EXPECT_EQ(cmd->code, ISDN_CODE_CALL);
    EXPECT_EQ(cmd->called_number, "0123456789");
    EXPECT_EQ(cmd->block.size(), ISDN_CMD_SIZE);
    host.isdn().answer(cmd->id, 0, 3);
    host.settle();
    EXPECT_TRUE(x.done);
    EXPECT_EQ(x.final_status, STATUS_SUCCESS);
    EXPECT_EQ(ULONG{x.block.status}, 0u); // packed field: copy before binding
    EXPECT_EQ(x.block.hCom, 3);
    EXPECT_THROW(host.isdn().answer(cmd->id, 0), HostError);
    EXPECT_THROW(host.isdn().answer(42, 0), HostError);
}

TEST(ScriptedIsdn, StandingRulesAndInjectedStatusAnswerAtOnce) {
    Host host;
    host.isdn().attach();
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, 0);
    Exchange clear;
    clear.dev = open_isdn();
    clear.block.command = ISDN_CLASS_CONTROL;
    clear.block.code = ISDN_CODE_CLEAR;
    clear.block.hCom = 2;
    start(clear);
    host.settle();
    EXPECT_EQ(clear.call_status, STATUS_SUCCESS) << "answered inside the call, not pended";
    EXPECT_EQ(ULONG{clear.block.status}, 0u);

    host.faults().fail_every("isdn.listen");
    Exchange listen;
    listen.dev = clear.dev;
    listen.block.command = ISDN_CLASS_CONTROL;
    listen.block.code = ISDN_CODE_LISTEN;
    start(listen);
    host.settle();
    EXPECT_TRUE(listen.done);
    EXPECT_EQ(listen.final_status, STATUS_SUCCESS);
    EXPECT_EQ(ULONG{listen.block.status}, 1u);
}

TEST(ScriptedIsdn, ReadStaysPendingUntilAMessageForItsHandle) {
    Host host;
    host.isdn().attach();
    Exchange read;
    read.dev = open_isdn();
    read.length = ISDN_DATA_CMD_SIZE;
    read.block.command = ISDN_CLASS_READ;
    read.block.hCom = 4;
    read.block.data_length = ISDN_MAX_DATA;
    start(read);
    host.run_for(seconds(3600));
    EXPECT_FALSE(read.done);
    EXPECT_EQ(host.isdn().pending_reads(4), 1u);
    EXPECT_EQ(host.objects().outstanding().size(), 1u);

    host.isdn().queue_message(5, IsdnMessage{.code = APP_CONN_CO});
    host.settle();
    EXPECT_FALSE(read.done) << "a message for another handle";

    std::vector<std::uint8_t> frame(2048);
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>(i);
    host.isdn().queue_message(4, IsdnMessage{.code = APP_DATA_IN, .data = frame});
    host.settle();
    ASSERT_TRUE(read.done);
    EXPECT_EQ(read.block.code, APP_DATA_IN);
    EXPECT_EQ(USHORT{read.block.data_length}, 2048);
    EXPECT_EQ(read.block.data[2047], static_cast<UCHAR>(2047 & 0xFF));
    EXPECT_EQ(host.objects().outstanding().size(), 0u);

    // The earlier message for handle 5 waits for a read on 5.
    Exchange read5 = read;
    read5.done = false;
    read5.block.hCom = 5;
    start(read5);
    host.settle();
    EXPECT_TRUE(read5.done);
    EXPECT_EQ(read5.block.code, APP_CONN_CO);
    EXPECT_EQ(read5.call_status, STATUS_SUCCESS);
}

TEST(ScriptedIsdn, ConnectionIndicationCarriesTheNewHandleAndCallingNumber) {
    Host host;
    host.isdn().attach();
    Exchange read;
    read.dev = open_isdn();
    read.length = ISDN_DATA_CMD_SIZE;
    read.block.command = ISDN_CLASS_READ;
    read.block.hCom = 1;
    start(read);
    host.settle();
    host.isdn().queue_message(1, IsdnMessage{.code = APP_CONN_IN, .handle = 7, .number = "0140506070"});
    host.settle();
    ASSERT_TRUE(read.done);
    EXPECT_EQ(read.block.code, APP_CONN_IN);
    EXPECT_EQ(read.block.hCom, 7);
    EXPECT_STREQ(read.block.called_number, "0140506070");
}

TEST(IoRequests, RequestBuildingFailsByRuleAndUnknownCodesAreRefused) {
    Host host;
    host.isdn().attach();
    PDEVICE_OBJECT dev = open_isdn();
    host.faults().fail_nth("IoBuildDeviceIoControlRequest", 1);
    KEVENT e;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    ISDN_CMD block{};
    EXPECT_EQ(IoBuildDeviceIoControlRequest(IOCTL_PIMISDN_COMMAND, dev, &block, sizeof block, &block, sizeof block,
                                            FALSE, &e, &iosb),
              nullptr);
    PIRP irp = IoBuildDeviceIoControlRequest(0x80012008, dev, &block, sizeof block, &block, sizeof block, FALSE, &e,
                                             &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(host.objects().outstanding().size(), 1u) << "built and not yet sent";
    EXPECT_EQ(IofCallDriver(dev, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.u.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(host.objects().outstanding().empty());
}

TEST(IoRequests, BufferedRequestCarriesItsInputAndClearsOnlyWhatLiesPastIt) {
    Host host;
    host.isdn().attach();
    PDEVICE_OBJECT dev = open_isdn();
    KEVENT e;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    unsigned char in[10], out[40];
    std::memset(in, 0x5A, sizeof in);
    std::memset(out, 0xEE, sizeof out);
    const struct {
        const char *what;
        void *input;
        ULONG in_length, out_length;
        std::size_t copied;
    } cases[] = {
        {"shorter input", in, sizeof in, sizeof out, sizeof in},
        {"no input buffer", nullptr, sizeof in, sizeof out, 0},
        {"input as long as the output", out, sizeof out, sizeof out, sizeof out},
        {"input longer than the output", in, sizeof in, 4, sizeof in},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        PIRP irp = IoBuildDeviceIoControlRequest(0x80012008, dev, c.input, c.in_length, out, c.out_length, FALSE,
                                                 &e, &iosb);
        ASSERT_NE(irp, nullptr);
        ASSERT_EQ(irp->system_buffer.size(), std::max(c.in_length, c.out_length));
        for (std::size_t i = 0; i < irp->system_buffer.size(); ++i) {
            unsigned char want = i < c.copied ? static_cast<const unsigned char *>(c.input)[i] : 0;
            ASSERT_EQ(irp->system_buffer[i], want) << "byte " << i;
        }
        EXPECT_EQ(IofCallDriver(dev, irp), STATUS_INVALID_DEVICE_REQUEST);
    }
}

TEST(FaultInjection, EachSiteCountsItsOwnCallsWhateverTextNamesIt) {
    Faults f(1);
    // One buffer naming two sites in turn, and a copy of the first name.
    char name[16];
    std::strcpy(name, "site.one");
    f.check(name);
    f.check(name);
    std::strcpy(name, "site.two");
    f.check(name);
    std::string copy = "site.one";
    f.check(copy);
    EXPECT_EQ(f.calls("site.one"), 3u);
    EXPECT_EQ(f.calls("site.two"), 1u);
    // More sites than are remembered at once, asked in turns.
    for (int round = 0; round < 3; ++round)
        for (int i = 0; i < 100; ++i)
            f.check("many." + std::to_string(i));
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(f.calls("many." + std::to_string(i)), 3u) << i;
    f.fail_nth("site.two", 2);
    EXPECT_TRUE(f.check(name)) << "the second call at site.two, through the reused buffer";
    EXPECT_FALSE(f.check("site.one"));
}

TEST(TraceBytes, TheTimelineKeepsAFramesHeadAndATraceFileTheWholeFrame) {
    Host host;
    std::vector<std::uint8_t> frame(1500);
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>(i);
    TraceField head = tf::bytes("frame", frame.data(), frame.size());
    EXPECT_EQ(head.number, 1500);
    EXPECT_EQ(head.display(), "0001020304050607...");
    EXPECT_EQ(tf::bytes("frame", frame.data(), 8).display(), "0001020304050607") << "no more to show";
    EXPECT_EQ(tf::bytes("frame", frame.data(), 9).display(), "0001020304050607...");

    std::size_t written = 0;
    int sink = host.trace().add_sink([&](const TraceRecord &r) {
        if (auto *f = r.field("frame"))
            written = f->text.size();
    });
    rt::trace(TraceKind::Wan, "wan.test", "{frame}", {tf::bytes("frame", frame.data(), frame.size())});
    EXPECT_EQ(written, 1500u) << "a file sink gets every byte";
    EXPECT_EQ(host.trace().records().back().text(), "0001020304050607...");
    host.trace().remove_sink(sink);
    EXPECT_EQ(tf::bytes("frame", frame.data(), frame.size()).text.size(), 8u) << "the head again once it is gone";
}

TEST(TraceText, KeepsALiteralByAddressAndCopiesAnythingElse) {
    static constexpr char kLiteral[] = "kept {x}";
    TraceText literal(kLiteral);
    EXPECT_EQ(literal.data(), kLiteral) << "a literal lasts: no copy";
    EXPECT_EQ(literal, "kept {x}");

    std::string made = "made {x} with more text than fits inline";
    TraceText copied(made);
    const char *pointer = made.c_str();
    TraceText from_pointer(pointer);
    EXPECT_NE(from_pointer.data(), pointer) << "a pointer may point at a buffer that goes away";
    made.assign("overwritten");
    EXPECT_EQ(copied, "made {x} with more text than fits inline");
    EXPECT_EQ(from_pointer, "made {x} with more text than fits inline");

    // A record outlives the strings it was made from.
    Host host;
    {
        std::string pattern = "{x} and more text than fits inline";
        rt::trace(TraceKind::Note, std::string("note.test"), pattern, tf::fields(tf::text("x", std::string("value"))));
    }
    EXPECT_EQ(host.trace().records().back().text(), "value and more text than fits inline");
    EXPECT_EQ(host.trace().records().back().event, "note.test");
}

TEST(TraceRing, KeepsTheNewestInOrderThroughWrapsAndLimitChanges) {
    Host host;
    Trace &trace = host.trace();
    trace.clear();
    std::uint64_t base = trace.total();
    auto seqs = [&] {
        std::vector<std::uint64_t> out;
        for (const TraceRecord &r : trace.records())
            out.push_back(r.seq - base);
        return out;
    };
    int made = 0;
    auto notes = [&](int n) {
        for (int i = 0; i < n; ++i)
            trace.add(TraceKind::Note, "note " + std::to_string(++made));
    };
    using Seqs = std::vector<std::uint64_t>;

    trace.set_limit(3);
    notes(5);
    EXPECT_EQ(seqs(), (Seqs{3, 4, 5}));
    EXPECT_EQ(trace.records()[0].text(), "note 3");
    EXPECT_EQ(trace.records().back().text(), "note 5");
    const TraceRecord *held = &trace.records().back();
    notes(1);
    EXPECT_EQ(seqs(), (Seqs{4, 5, 6})) << "the newest takes the oldest's slot";
    EXPECT_EQ(held->seq - base, 5u) << "a record still held stays where it was";
    EXPECT_EQ(trace.events("note", 1).size(), 2u) << "searches count from the oldest held";

    trace.set_limit(0);
    notes(2);
    EXPECT_EQ(seqs(), (Seqs{4, 5, 6, 7, 8})) << "without a limit the ring only grows, in order";
    trace.set_limit(2);
    EXPECT_EQ(seqs(), (Seqs{7, 8}));
    notes(3);
    EXPECT_EQ(seqs(), (Seqs{10, 11}));
    EXPECT_EQ(trace.render_all().find("note 9"), std::string::npos);
    EXPECT_NE(trace.render_all().find("note 11"), std::string::npos);
    trace.clear();
    EXPECT_TRUE(trace.records().empty());
    notes(1);
    EXPECT_EQ(seqs(), (Seqs{12}));
}

TEST(FaultInjection, RulesByCallNumberEverySiteOnceAndProbability) {
    Faults f(1);
    f.fail_nth("a", 2);
    EXPECT_FALSE(f.check("a"));
    EXPECT_TRUE(f.check("a"));
    EXPECT_FALSE(f.check("a"));
    f.fail_every("b");
    EXPECT_TRUE(f.check("b"));
    EXPECT_TRUE(f.check("b"));
    f.clear();
    f.fail_each_site_once();
    EXPECT_TRUE(f.check("c"));
    EXPECT_FALSE(f.check("c"));
    EXPECT_TRUE(f.check("d"));
    EXPECT_EQ(f.sites_seen(), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(f.injected(), (std::vector<std::string>{"a#2", "b#1", "b#2", "c#1", "d#1"}));
    EXPECT_THROW(f.fail_nth("a", 0), HostError);
    EXPECT_THROW(f.fail_with_probability(1.5), HostError);

    auto draws = [](std::uint64_t seed) {
        Faults g(seed);
        g.fail_with_probability(0.3, "isdn.");
        std::string out;
        for (int i = 0; i < 64; ++i)
            out += g.check(i % 2 ? "isdn.send" : "NdisAllocateMemory") ? '1' : '0';
        return out;
    };
    EXPECT_EQ(draws(5), draws(5));
    EXPECT_NE(draws(5), draws(6));
    std::string d = draws(5);
    for (std::size_t i = 0; i < d.size(); i += 2)
        EXPECT_EQ(d[i], '0') << "only sites with the prefix fail";
    EXPECT_NE(d.find('1'), std::string::npos);
}
