// Built as driver code (platform/ only, ThreadSanitizer in the race build).

#include "ntcrt.h"
#include "ntkernel.h"

#include "mini_drivers.h"

namespace {

struct NODE {
    NODE *Next;
    ULONG Value;
};

struct MINI {
    KSPIN_LOCK Lock;
    KEVENT Published;
    NODE Nodes[8];
    NODE *Head;
    NODE **Tail;
    ULONG Count;
    ULONG Data;
    ULONG Ready;
    int UseLock;
    int UseEvent;
    HANDLE Threads[2];
    PVOID ThreadObjects[2];
    ULONG Handed;
};

MINI Mini;

} // namespace

// Not static: the host names a thread after its start routine's symbol.
VOID Append(NODE *Node) {
    KIRQL Irql = 0;
    if (Mini.UseLock)
        Irql = KfAcquireSpinLock(&Mini.Lock);
    Node->Next = NULL;
    *Mini.Tail = Node;
    Mini.Tail = &Node->Next;
    if (Mini.UseLock)
        KfReleaseSpinLock(&Mini.Lock, Irql);
}

VOID NTAPI AppendThread(PVOID Context) {
    ULONG First = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Context));
    for (ULONG i = 0; i < 4; i++)
        Append(&Mini.Nodes[First + i]);
}

VOID NTAPI CountThread(PVOID Context) {
    (void)Context;
    for (int i = 0; i < 5; i++) {
        KIRQL Irql = 0;
        if (Mini.UseLock)
            Irql = KfAcquireSpinLock(&Mini.Lock);
        Mini.Count++;
        if (Mini.UseLock)
            KfReleaseSpinLock(&Mini.Lock, Irql);
    }
}

VOID NTAPI PublishThread(PVOID Context) {
    (void)Context;
    Mini.Data = 42;
    if (Mini.UseEvent)
        KeSetEvent(&Mini.Published, 0, FALSE);
    else
        Mini.Ready = 1;
}

VOID NTAPI ConsumeThread(PVOID Context) {
    (void)Context;
    if (Mini.UseEvent) {
        KeWaitForSingleObject(&Mini.Published, Executive, KernelMode, FALSE, NULL);
    } else {
        while (__atomic_load_n(&Mini.Ready, __ATOMIC_RELAXED) == 0)
            KeStallExecutionProcessor(10);
    }
    Mini.Count = Mini.Data;
}

VOID NTAPI HandOverThread(PVOID Context) {
    (void)Context;
    Mini.Count = Mini.Handed; // written by the creator before it created us
    Mini.Handed = 2;          // read by the creator after our end
}

namespace {

VOID StartTwo(PKSTART_ROUTINE First, PVOID FirstContext, PKSTART_ROUTINE Second, PVOID SecondContext) {
    PsCreateSystemThread(&Mini.Threads[0], 0, NULL, NULL, NULL, First, FirstContext);
    PsCreateSystemThread(&Mini.Threads[1], 0, NULL, NULL, NULL, Second, SecondContext);
}

VOID Reset(int UseLock, int UseEvent) {
    memset(&Mini, 0, sizeof Mini);
    KeInitializeSpinLock(&Mini.Lock);
    KeInitializeEvent(&Mini.Published, NotificationEvent, FALSE);
    Mini.Tail = &Mini.Head;
    Mini.UseLock = UseLock;
    Mini.UseEvent = UseEvent;
}

} // namespace

extern "C" void MiniQueueAppend(int locked) {
    Reset(locked, 0);
    StartTwo(AppendThread, reinterpret_cast<PVOID>(0), AppendThread, reinterpret_cast<PVOID>(4));
}

extern "C" void MiniFlagPublish(int withEvent) {
    Reset(0, withEvent);
    StartTwo(ConsumeThread, NULL, PublishThread, NULL);
}

extern "C" void MiniCounter(int locked) {
    Reset(locked, 0);
    StartTwo(CountThread, NULL, CountThread, NULL);
}

extern "C" void MiniThreadHandOver() {
    Reset(0, 0);
    Mini.Handed = 1;
    PsCreateSystemThread(&Mini.Threads[0], 0, NULL, NULL, NULL, HandOverThread, NULL);
    ObReferenceObjectByHandle(Mini.Threads[0], 0, NULL, KernelMode, &Mini.ThreadObjects[0], NULL);
    KeWaitForSingleObject(Mini.ThreadObjects[0], Executive, KernelMode, FALSE, NULL);
    ObfDereferenceObject(Mini.ThreadObjects[0]);
    Mini.Count = Mini.Handed;
}
