// The fault sites that change how NT answers rather than whether a routine
// fails: waits that end early or are woken, completions that come late, a
// handle reference refused; and malformed input from the ISDN driver.

#include <gtest/gtest.h>

#include <cstring>

#include "host.h"
#include "host_faults.h"
#include "host_isdn.h"
#include "ntkernel.h"
#include "pimisdn.h"

using namespace tolvanex::host;

namespace {

constexpr NTSTATUS kUserApc = 0x000000C0, kAlerted = 0x00000101;
constexpr Ticks kTick = 156'250;

struct Waiter {
    KEVENT *event;
    Ticks timeout; // 0: none
    NTSTATUS status = -1;
    Ticks woke_at = -1;
};

VOID NTAPI WaitOnce(PVOID p) {
    auto *w = static_cast<Waiter *>(p);
    LARGE_INTEGER t;
    t.QuadPart = -w->timeout;
    w->status = KeWaitForSingleObject(w->event, Executive, KernelMode, FALSE, w->timeout ? &t : nullptr);
    w->woke_at = Host::current().now();
}

void start(Waiter &w) {
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, WaitOnce, &w), STATUS_SUCCESS);
    ZwClose(h);
}

UNICODE_STRING isdn_name() {
    static char16_t name[] = u"\\Device\\PIMISDND";
    return UNICODE_STRING{32, 34, name};
}

struct Exchange {
    PDEVICE_OBJECT dev = nullptr;
    ISDN_DATA_CMD block{};
    ULONG length = ISDN_DATA_CMD_SIZE;
    NTSTATUS call_status = -1;
    IO_STATUS_BLOCK iosb{};
    Ticks done_at = -1;
    int order = 0;
};
int g_completed = 0;

VOID NTAPI ExchangeThread(PVOID p) {
    auto *x = static_cast<Exchange *>(p);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_PIMISDN_COMMAND, x->dev, &x->block, x->length, &x->block, x->length,
                                             FALSE, &event, &x->iosb);
    x->call_status = IofCallDriver(x->dev, irp);
    if (x->call_status == STATUS_PENDING)
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
    x->done_at = Host::current().now();
    x->order = ++g_completed;
}

PDEVICE_OBJECT open_isdn(Host &host) {
    host.isdn().attach();
    UNICODE_STRING name = isdn_name();
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT dev = nullptr;
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &dev), STATUS_SUCCESS);
    return dev;
}

void start(Exchange &x) {
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, ExchangeThread, &x), STATUS_SUCCESS);
    ZwClose(h);
}

Exchange read_on(PDEVICE_OBJECT dev, UCHAR handle) {
    Exchange x;
    x.dev = dev;
    x.block.command = ISDN_CLASS_READ;
    x.block.hCom = handle;
    x.block.data_length = ISDN_MAX_DATA;
    return x;
}

} // namespace

TEST(WaitFaults, TimedWaitEndsOneClockTickEarlyAndAWaitForEverIsNeverCut) {
    Host host;
    host.faults().fail_every("KeWaitForSingleObject.early-timeout");
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    Waiter timed{&e, millis(2500)}, forever{&e, 0};
    start(timed);
    start(forever);
    host.run_for(seconds(5));
    EXPECT_EQ(timed.status, STATUS_TIMEOUT);
    EXPECT_EQ(timed.woke_at, millis(2500) - kTick);
    EXPECT_EQ(forever.status, -1) << "nothing set the event";
    EXPECT_EQ(host.faults().calls("KeWaitForSingleObject.early-timeout"), 1u);
    KeSetEvent(&e, 0, FALSE);
    host.settle();
    EXPECT_EQ(forever.status, STATUS_SUCCESS);
}

TEST(WaitFaults, OnlyAlertableOrUserModeWaitsAreWokenWithoutTheirObject) {
    Host host;
    host.faults().fail_every("KeWaitForSingleObject.woken");
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(host.faults().calls("KeWaitForSingleObject.woken"), 0u) << "a kernel-mode, non-alertable wait";
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, TRUE, nullptr), kAlerted);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, UserMode, FALSE, nullptr), kUserApc);
    EXPECT_EQ(host.faults().calls("KeWaitForSingleObject.woken"), 2u);
}

TEST(IoFaults, LateCompletionPendsAndLetsALaterRequestFinishFirst) {
    Host host;
    PDEVICE_OBJECT dev = open_isdn(host);
    host.isdn().queue_message(1, IsdnMessage{.code = APP_CONN_CO});
    host.isdn().queue_message(2, IsdnMessage{.code = APP_FLOW_ON});
    host.faults().fail_nth("IoCompleteRequest.late", 1);
    g_completed = 0;
    Exchange first = read_on(dev, 1), second = read_on(dev, 2);
    start(first);
    host.settle();
    start(second);
    host.run_for(seconds(1));
    EXPECT_EQ(first.call_status, STATUS_PENDING) << "a completion put off is one the device pended";
    EXPECT_EQ(second.call_status, STATUS_SUCCESS);
    EXPECT_EQ(first.done_at, millis(10));
    EXPECT_EQ(second.done_at, 0);
    EXPECT_EQ(second.order, 1);
    EXPECT_EQ(first.order, 2);
    EXPECT_EQ(first.iosb.u.Status, STATUS_SUCCESS);
    EXPECT_EQ(first.block.code, APP_CONN_CO) << "the late answer is the one the device gave";
    EXPECT_TRUE(host.outstanding_irps().empty());
}

TEST(ObjectFaults, RefusedReferenceTakesNoReference) {
    Host host;
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    Waiter w{&e, 0};
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, WaitOnce, &w), STATUS_SUCCESS);
    host.faults().fail_nth("ObReferenceObjectByHandle", 1);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0x1F03FF, nullptr, KernelMode, &object, nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(object, nullptr);
    ASSERT_EQ(ObReferenceObjectByHandle(h, 0x1F03FF, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ObfDereferenceObject(object), 0) << "only the second call took a reference";
    ZwClose(h);
    KeSetEvent(&e, 0, FALSE);
    host.settle();
}

TEST(MalformedFromBelow, RawMessageKeepsItsCodeUnterminatedNumberAndForgedLength) {
    Host host;
    PDEVICE_OBJECT dev = open_isdn(host);
    IsdnMessage m{.code = 0, .number = std::string(33, '9'), .cause = 0x39, .data = {1, 2, 3}};
    m.raw_number = true;
    m.data_length = 4000;
    host.isdn().queue_message(1, m);
    Exchange x = read_on(dev, 1);
    start(x);
    host.settle();
    EXPECT_EQ(x.iosb.u.Status, STATUS_SUCCESS);
    EXPECT_EQ(x.block.code, 0);
    EXPECT_EQ(std::string(x.block.called_number, ISDN_NUMBER_SIZE), std::string(33, '9')) << "no NUL";
    EXPECT_EQ(x.block.cause, 0x39);
    EXPECT_EQ(x.block.data_length, 4000);
    EXPECT_EQ(x.block.data[2], 3);
    // The checked form still cuts the number and terminates it.
    IsdnMessage plain{.code = APP_CONN_IN, .number = std::string(40, '7')};
    host.isdn().queue_message(1, plain);
    Exchange y = read_on(dev, 1);
    start(y);
    host.settle();
    EXPECT_EQ(std::strlen(y.block.called_number), size_t{ISDN_MAX_DIGITS});
}

TEST(MalformedFromBelow, RawAnswerWritesItsBytesAndReturnsItsCount) {
    Host host;
    PDEVICE_OBJECT dev = open_isdn(host);
    Exchange x;
    x.dev = dev;
    x.length = ISDN_CMD_SIZE;
    x.block.command = ISDN_CLASS_CONTROL;
    x.block.code = ISDN_CODE_CALL;
    std::strcpy(x.block.called_number, "0299887766");
    start(x);
    host.settle();
    ASSERT_EQ(host.isdn().commands().size(), 1u);
    IsdnRawAnswer bad_place{.at = ISDN_CMD_SIZE - 1, .bytes = {1, 2}};
    EXPECT_THROW(host.isdn().answer_raw(1, bad_place), HostError);
    IsdnRawAnswer too_long{.length = ISDN_CMD_SIZE + 1};
    EXPECT_THROW(host.isdn().answer_raw(1, too_long), HostError);
    IsdnRawAnswer a{.status = 0xFFFFFFFF, .handle = 3, .bytes = {2, 0x7A}, .length = 6};
    host.isdn().answer_raw(1, a);
    host.settle();
    EXPECT_EQ(x.call_status, STATUS_PENDING);
    EXPECT_EQ(x.iosb.Information, 6u);
    EXPECT_EQ(x.block.command, 2);
    EXPECT_EQ(x.block.code, 0x7A);
    EXPECT_EQ(ULONG{x.block.status}, 0xFFFFFFFFu); // packed field: copy before binding
    EXPECT_EQ(x.block.hCom, 0) << "byte 6 lies past the 6 bytes returned";
    EXPECT_STREQ(x.block.called_number, "0299887766");
    EXPECT_THROW(host.isdn().answer_raw(1, a), HostError) << "answered already";
}
