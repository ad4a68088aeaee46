// drvind: the four worker threads (the general loop and the three receive
// threads), the supervision timer, and the ISDN indication handlers.

#include "tolvanex.h"

UCHAR loopGeneralThread;
UCHAR loopThreadReceiveB1;
UCHAR loopThreadReceiveB2;
UCHAR loopThreadListen;

static VOID Sleep(PRKEVENT pEvent, LONGLONG Relative) {
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = Relative;
    KeWaitForSingleObject(pEvent, Executive, KernelMode, FALSE, &Timeout);
}

static HANDLE *ThreadHandle(PADAPTER pAdapter, int i) {
    HANDLE *Handles[4] = {&pAdapter->GeneralHandle, &pAdapter->B1Handle, &pAdapter->B2Handle,
                          &pAdapter->ListenHandle};
    return Handles[i];
}

// Takes a reference on thread i's object through its handle, so that halt
// can wait for the thread's end. NULL when the object manager refuses.
static VOID ReferenceThread(PADAPTER pAdapter, int i) {
    if (ObReferenceObjectByHandle(*ThreadHandle(pAdapter, i), THREAD_ALL_ACCESS, NULL, KernelMode,
                                  &pAdapter->ThreadObject[i], NULL) != STATUS_SUCCESS)
        pAdapter->ThreadObject[i] = NULL;
}

// Called by ZolInitialize at PASSIVE_LEVEL. Each thread is referenced as it
// is created so that halt can wait for its end.
BOOLEAN CreateOurThreads(PADAPTER pAdapter) {
    static const PKSTART_ROUTINE Routines[4] = {GeneralThread, ThreadReceiveB1, ThreadReceiveB2, ThreadListen};

    SharedWrite(pAdapter->Ctx[CTX_LISTEN].hCom, ISDN_HCOM_NONE);
    pAdapter->Ctx[CTX_LISTEN].RxState = RX_IDLE;
    KeInitializeEvent(&pAdapter->GeneralEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pAdapter->B1Event, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pAdapter->B2Event, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pAdapter->ListenEvent, SynchronizationEvent, FALSE);

    for (int i = 0; i < 4; i++) {
        HANDLE hThread;
        if (PsCreateSystemThread(&hThread, 0, NULL, NULL, NULL, Routines[i], pAdapter) != STATUS_SUCCESS)
            return FALSE;
        *ThreadHandle(pAdapter, i) = hThread;
        ReferenceThread(pAdapter, i);
    }
    return TRUE;
}

// After each listen: a refused one is tried again once the supervision
// timer has counted its wait down, so that one refusal by the ISDN driver
// does not leave the adapter deaf to incoming calls. Past LISTEN_RETRIES
// refusals in a row it is left to the next request (a line open, an
// incoming call, a reconfiguration). General thread only.
static VOID ListenDone(PADAPTER pAdapter, BOOLEAN Listening) {
    USHORT Wait;

    if (Listening) {
        pAdapter->ListenFailures = 0;
        return;
    }
    if (pAdapter->ListenFailures >= LISTEN_RETRIES)
        return;
    Wait = pAdapter->ListenFailures < 6 ? static_cast<USHORT>(1u << pAdapter->ListenFailures) : LISTEN_RETRY_MAX_WAIT;
    pAdapter->ListenFailures++;
    AcquireSpinLock(&pAdapter->Lock);
    SharedWrite(pAdapter->ListenRetryWait, Wait);
    ReleaseSpinLock(&pAdapter->Lock);
    pAdapter->ListenRetryPending = 1;
}

// The general thread: opens the ISDN driver, then runs one turn each time it
// is woken and at least once a second. PASSIVE_LEVEL.
VOID NTAPI GeneralThread(PVOID Context) {
    PADAPTER pAdapter = static_cast<PADAPTER>(Context);
    BOOLEAN Retry, Listening;

    // Open phase. A halt during it ends the thread here.
    while (SharedRead(pAdapter->PimIsdnDeviceObject) == NULL) {
        if (SharedRead(pAdapter->Stopping))
            return;
        Sleep(&pAdapter->GeneralEvent, WAIT_OPEN_RETRY);
        if (SharedRead(pAdapter->Stopping))
            return;
        if (pAdapter->TraceLevel >= TRACE_DATAS)
            RaiseEvent(pAdapter, 0, SECTION_ISDN, EVT_ISDN_NOT_CONNECTED);
        OpenPimIsdn(pAdapter);
    }

    SharedWrite(loopGeneralThread, 1);
    for (;;) {
        Sleep(&pAdapter->GeneralEvent, WAIT_ONE_SECOND);

        if (SharedRead(pAdapter->ReconfigRequest) == 1) {
            SharedWrite(pAdapter->ReconfigRequest, 0);
            GetLocalISDNParams(pAdapter);
            ProcessPortsInit(pAdapter);
            if (ISDN_CancelListen(pAdapter))
                ListenDone(pAdapter, ISDN_Listen(pAdapter));
            if (pAdapter->TraceLevel >= TRACE_DATAS)
                RaiseEvent(pAdapter, 0, SECTION_CONFIGURATION, EVT_RECONFIGURATION_DONE);
        }

        Retry = pAdapter->ListenRetryPending && SharedRead(pAdapter->ListenRetryWait) == 0;
        if (SharedRead(pAdapter->ListenRequest) != 0 || Retry) {
            if (!Retry)
                pAdapter->ListenFailures = 0; // a new request counts afresh
            pAdapter->ListenRetryPending = 0;
            ISDN_CancelListen(pAdapter);
            Listening = ISDN_Listen(pAdapter);
            SharedWrite(pAdapter->ListenRequest, 0);
            ListenDone(pAdapter, Listening);
        }

        ProcessActiveContexts(pAdapter);
        FeedProtocol(pAdapter);

        // Stopping covers a stop that came while the open phase ended.
        if (SharedRead(loopGeneralThread) == 0 || SharedRead(pAdapter->Stopping))
            return;
    }
}

// One receive thread per context, at PASSIVE_LEVEL: while the context has a
// handle it keeps a read outstanding at the ISDN driver, back to back, with
// its receive buffers filled before each read; otherwise it looks once a
// second. A stop during the first wait is seen through Stopping.
static VOID ReceiveLoop(PADAPTER pAdapter, PCTX pCtx, PRKEVENT pEvent, UCHAR &LoopFlag) {
    Sleep(pEvent, 4 * WAIT_ONE_SECOND);
    SharedWrite(LoopFlag, 1);
    while (SharedRead(LoopFlag) != 0 && !SharedRead(pAdapter->Stopping)) {
        if (ValidHandle(SharedRead(pCtx->hCom))) {
            for (int i = 0; i < MAX_RX_BUFFER; i++) {
                if (pCtx->RxDescr[i] != NULL)
                    continue;
                if ((pCtx->RxDescr[i] = AllocChainDescr(pAdapter, RX_BUFFER_SIZE)) == NULL)
                    break;
            }
            if (pCtx->RxState == RX_IDLE) {
                BOOLEAN Received;
                pCtx->RxState = RX_IN_RECEIVE;
                Received = ISDN_Receive(pCtx, pAdapter);
                pCtx->RxState = RX_IDLE;
                if (Received) {
                    ZolSetEvent(pAdapter);
                    continue;
                }
                // Reason 1 stops nothing (AnalyseEmergencyStop): a failed read
                // only costs the one-second pause below.
                EmergencyStop(pAdapter, pCtx, 1);
            }
        }
        Sleep(pEvent, WAIT_ONE_SECOND);
    }
}

VOID NTAPI ThreadReceiveB1(PVOID Context) {
    PADAPTER pAdapter = static_cast<PADAPTER>(Context);
    ReceiveLoop(pAdapter, &pAdapter->Ctx[CTX_B1], &pAdapter->B1Event, loopThreadReceiveB1);
}

VOID NTAPI ThreadReceiveB2(PVOID Context) {
    PADAPTER pAdapter = static_cast<PADAPTER>(Context);
    ReceiveLoop(pAdapter, &pAdapter->Ctx[CTX_B2], &pAdapter->B2Event, loopThreadReceiveB2);
}

VOID NTAPI ThreadListen(PVOID Context) {
    PADAPTER pAdapter = static_cast<PADAPTER>(Context);
    ReceiveLoop(pAdapter, &pAdapter->Ctx[CTX_LISTEN], &pAdapter->ListenEvent, loopThreadListen);
}

// PASSIVE_LEVEL or DISPATCH_LEVEL. Several wake-ups before a turn give one.
VOID ZolSetEvent(PADAPTER pAdapter) { KeSetEvent(&pAdapter->GeneralEvent, 0, FALSE); }

// Called through FreeZolResources at halt. Does nothing unless all four
// threads were created.
VOID KillGeneralThread(PADAPTER pAdapter) {
    KEVENT Pause;

    if (pAdapter->ThreadsCreated == 0)
        return;
    pAdapter->ThreadsCreated = 0;
    SharedWrite(loopGeneralThread, 0);
    // Before the wake-up: a general thread still looking for the ISDN
    // driver has no loop flag to see, and must not take the wake-up for
    // its next look and open the device during the halt.
    SharedWrite(pAdapter->Stopping, 1);
    KeSetEvent(&pAdapter->GeneralEvent, 0, FALSE);
    SharedWrite(loopThreadReceiveB1, 0);
    SharedWrite(loopThreadReceiveB2, 0);
    SharedWrite(loopThreadListen, 0);

    KeInitializeEvent(&Pause, NotificationEvent, FALSE);
    Sleep(&Pause, WAIT_ONE_SECOND);
    KeStallExecutionProcessor(STOP_BUSY_WAIT_US);
}

// Makes sure no thread outlives the ADAPTER, whatever KillGeneralThread did:
// every thread is told to stop, the ISDN driver is let go (which ends the
// reads and commands it still holds), and the end of each thread awaited.
// PASSIVE_LEVEL; also used when thread creation fails part-way.
VOID StopOurThreads(PADAPTER pAdapter) {
    SharedWrite(pAdapter->Stopping, 1);
    SharedWrite(loopGeneralThread, 0);
    SharedWrite(loopThreadReceiveB1, 0);
    SharedWrite(loopThreadReceiveB2, 0);
    SharedWrite(loopThreadListen, 0);
    if (pAdapter->GeneralHandle != NULL)
        KeSetEvent(&pAdapter->GeneralEvent, 0, FALSE);
    ClosePimIsdn(pAdapter);
    for (int i = 0; i < 4; i++) {
        // A thread whose reference was refused at its creation is still
        // running and its handle still open: without its object halt could
        // not wait for it, and it would outlive the adapter.
        if (pAdapter->ThreadObject[i] == NULL && *ThreadHandle(pAdapter, i) != NULL)
            ReferenceThread(pAdapter, i);
        if (pAdapter->ThreadObject[i] != NULL) {
            KeWaitForSingleObject(pAdapter->ThreadObject[i], Executive, KernelMode, FALSE, NULL);
            ObfDereferenceObject(pAdapter->ThreadObject[i]);
            pAdapter->ThreadObject[i] = NULL;
        }
    }
    // The general thread may have opened the device after the first close.
    ClosePimIsdn(pAdapter);
}

// The supervision timer: NDIS timer routine at DISPATCH_LEVEL, every second.
VOID NTAPI ZolTimerFunction(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                            PVOID SystemSpecific3) {
    (void)SystemSpecific1;
    (void)SystemSpecific2;
    (void)SystemSpecific3;
    PADAPTER pAdapter = static_cast<PADAPTER>(FunctionContext);
    BOOLEAN Stopping;

    AcquireSpinLock(&pAdapter->Lock);
    for (int i = CTX_B1; i <= CTX_B2; i++) {
        PCTX pCtx = &pAdapter->Ctx[i];
        USHORT State = SharedRead(pCtx->State);
        if (State == CTX_UNUSED || State == CTX_FREE || State == CTX_CLEARING)
            continue;
        if (SharedRead(pCtx->TimeoutCount) == 0)
            continue;
        if (SharedRead(pCtx->TimeoutCount) == 1 && pAdapter->TraceLevel >= TRACE_FULL)
            RaiseEvent(pAdapter, 0, SECTION_WAN, EVT_TIMEOUT_EXPIRED);
        SharedWrite(pCtx->TimeoutCount, SharedRead(pCtx->TimeoutCount) - 1);
    }
    if (SharedRead(pAdapter->ListenRetryWait) != 0)
        SharedWrite(pAdapter->ListenRetryWait, SharedRead(pAdapter->ListenRetryWait) - 1);
    // Halt sets TimerStopping under the lock: a run that sees it does not re-arm.
    Stopping = pAdapter->TimerStopping;
    if (!Stopping)
        NdisSetTimer(&pAdapter->Timer, SUPERVISION_PERIOD_MS);
    ReleaseSpinLock(&pAdapter->Lock);
    if (Stopping)
        KeSetEvent(&pAdapter->TimerIdleEvent, 0, FALSE); // the last touch of the ADAPTER
}

// Only reason 128 (the adapter removed) would stop the channels; nothing in
// the driver marks the adapter removed, so this never acts.
ULONG AnalyseEmergencyStop(ULONG Reason) { return Reason == 128 ? 2 : 0; }

VOID EmergencyStop(PADAPTER pAdapter, PCTX pCtx, ULONG Reason) {
    (void)pCtx;
    if (AnalyseEmergencyStop(Reason) == 0)
        return;
    KillContext(&pAdapter->Ctx[CTX_B1], KILL_REASON_EMERGENCY, pAdapter);
    KillContext(&pAdapter->Ctx[CTX_B2], KILL_REASON_EMERGENCY, pAdapter);
}

// Called by halt at PASSIVE_LEVEL: after it, no run of the timer routine is
// pending or in progress, and none will re-arm the timer.
VOID StopSupervisionTimer(PADAPTER pAdapter) {
    BOOLEAN Cancelled = FALSE;
    LARGE_INTEGER Timeout;

    AcquireSpinLock(&pAdapter->Lock);
    pAdapter->TimerStopping = 1;
    ReleaseSpinLock(&pAdapter->Lock);
    NdisMCancelTimer(&pAdapter->Timer, &Cancelled);
    if (!Cancelled) {
        // The timer had already fired: its run is on its way and will see
        // TimerStopping. Wait for it, bounded in case the timer was never set.
        Timeout.QuadPart = 2 * WAIT_ONE_SECOND;
        KeWaitForSingleObject(&pAdapter->TimerIdleEvent, Executive, KernelMode, FALSE, &Timeout);
        KeStallExecutionProcessor(10); // lets the run return after its last touch
    }
}

// ---- ISDN indication handlers ---------------------------------------------------------
// Each runs on the receive thread that read the message, at PASSIVE_LEVEL.

// The first open line with no call that may take incoming calls.
PGATEWAY FindInboundEntry(PADAPTER pAdapter) {
    for (int i = 0; i < MAX_GATEWAY; i++) {
        PGATEWAY pGway = &pAdapter->Gateway[i];
        if (pGway->htLine != 0 && pGway->htCall == 0 && pGway->Used == GATEWAY_CONFIGURED &&
            (pGway->Usage == USAGE_SERVER || pGway->Usage == USAGE_CLIENT_AND_SERVER))
            return pGway;
    }
    return NULL;
}

// APP_CONN_IN on the listen thread: take the call on a line and a channel,
// or refuse it at once.
BOOLEAN ProcessConInd(PADAPTER pAdapter, UCHAR hCom, PCHAR CallingNumber, ULONG Length) {
    (void)Length;
    PCTX pCtx;

    // Under the lock under which TAPI opens and closes lines and places calls.
    AcquireSpinLock(&pAdapter->Lock);
    PGATEWAY pGway = FindInboundEntry(pAdapter);
    ReleaseSpinLock(&pAdapter->Lock);

    if (pGway == NULL || (pCtx = AllocContext(pAdapter, pGway)) == NULL)
        return ISDN_Clear(hCom, CallingNumber, pAdapter);
    SharedWrite(pCtx->TimeoutCount, pCtx->Timeout);
    pCtx->Inbound = 1;
    pCtx->pGway = pGway;
    SharedWrite(pCtx->hCom, hCom);
    // A refused call response leaves the context reserved with its handle:
    // its receive thread may already be reading on it, and the clearing
    // that follows on that handle releases it.
    return ISDN_CallResp(pCtx, pAdapter);
}

VOID ProcessConCon(PCTX pCtx, PADAPTER pAdapter) {
    SharedWrite(pCtx->State, CTX_OPEN);
    if (pCtx->pGway != NULL)
        ZolCompleteConCon(pAdapter, pCtx->pGway, pCtx);
}

VOID ZolCompleteConCon(PADAPTER pAdapter, PGATEWAY pGway, PCTX pCtx) {
    if (pCtx->Inbound) {
        ZolCompleteConInd(pAdapter, pGway, pCtx);
        return;
    }
    SharedWrite(pCtx->State, CTX_CONNECTED);
    pGway->CallSeen = 1;
    ZolTapiDeviceStatus(pAdapter, pGway, LINEDEVSTATE_CONNECTED);
    ZolWanSendLineUp(pAdapter, pCtx);
    ZolTapiIndicateStatus(pAdapter, pGway, LINECALLSTATE_CONNECTED);
}

// The WAN link of an incoming call waits for RAS to answer it.
VOID ZolCompleteConInd(PADAPTER pAdapter, PGATEWAY pGway, PCTX pCtx) {
    pCtx->LinkSpeed = 64000;
    pGway->hdCall = ZolIdentity(pAdapter, pCtx);
    ZolTapiIndicateStatus(pAdapter, pGway, LINE_NEWCALL);
    SharedWrite(pCtx->htCall, pGway->htCall);
    pCtx->hdCall = pGway->hdCall;
    pGway->CallSeen = 1;
    SharedWrite(pCtx->State, CTX_CONNECTED);
}

// A frame longer than the room the read offered cannot be trusted and is
// dropped; a frame with no receive buffer left times the call out. A frame
// on a call whose line NDISWAN has not been told is up (an incoming call
// RAS has not answered yet, or one dropped already) has no link to go on:
// it is dropped and counted, and the caller's protocol sends again.
VOID ProcessDatInd(PCTX pCtx, PADAPTER pAdapter, PUCHAR Data, USHORT Length) {
    PCHAIN_DESCR pDescr = NULL;
    ULONG Link;

    if (Length > RX_BUFFER_SIZE)
        return;
    // The line first: a line up stores its link context before it marks
    // the line up, so a line seen up has its link.
    if (SharedRead(pCtx->LineUp) != 1 || (Link = SharedRead(pCtx->NdisLinkContext)) == 0) {
        AcquireSpinLock(&pAdapter->Lock);
        pAdapter->FramesWithoutLink++;
        ReleaseSpinLock(&pAdapter->Lock);
        return;
    }
    for (int i = 0; i < MAX_RX_BUFFER; i++) {
        if (pCtx->RxDescr[i] != NULL) {
            pDescr = pCtx->RxDescr[i];
            pCtx->RxDescr[i] = NULL;
            break;
        }
    }
    if (pDescr == NULL) {
        SharedWrite(pCtx->TimeoutCount, 0);
        return;
    }
    pDescr->Data = reinterpret_cast<PUCHAR>(pDescr + 1);
    CopyBytes(pDescr->Data, Data, Length);
    pDescr->Length = Length;
    pDescr->NdisLinkContext = Link;
    pDescr->Type = DESCR_TYPE_RECEIVED;
    pDescr->WanPacket = NULL;
    AcquireSpinLock(&pAdapter->Lock);
    ChainAdd(pAdapter, pAdapter->RxQueue.Blink, pDescr);
    ReleaseSpinLock(&pAdapter->Lock);
}

VOID ProcessDisInd(PCTX pCtx, PADAPTER pAdapter, UCHAR Cause) {
    (void)Cause;
    ISDN_ClearResp(pCtx, pAdapter);
}

// APP_CLEAR_CO: the end of every call. The CTX_CLEARING mark is made under
// the lock so it never overwrites a sending pass's state.
VOID ProcessDisCon(PCTX pCtx, PADAPTER pAdapter) {
    PGATEWAY pGway = pCtx->pGway;

    if (pGway != NULL)
        ZolTapiDeviceStatus(pAdapter, pGway, LINEDEVSTATE_DISCONNECTED);
    ZolWanSendLineDown(pAdapter, pCtx);
    if (pGway != NULL) {
        ZolTapiIndicateStatus(pAdapter, pGway, LINECALLSTATE_DISCONNECTED);
        ClearLineCall(pAdapter, pGway);
    }
    SharedWrite(pCtx->htLine, 0);
    SharedWrite(pCtx->htCall, 0);
    SharedWrite(pCtx->hCom, ISDN_HCOM_NONE);
    AcquireSpinLock(&pAdapter->Lock);
    if (SharedRead(pCtx->State) != CTX_OPEN_SENDING_DATA)
        SharedWrite(pCtx->State, CTX_CLEARING);
    ReleaseSpinLock(&pAdapter->Lock);
    KillContext(pCtx, KILL_REASON_CLEARED, pAdapter);
}
