// drvwan: the general and WAN information requests, the send path, the
// general loop's processing of the B-channel contexts and the delivery of
// received frames, line up and line down.

#include "tolvanex.h"

// Called through ZolQueryInformation at DISPATCH_LEVEL. The WAN, general and
// TAPI requests join here.
NDIS_STATUS ZolReqQueryInformation(PADAPTER pAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                   ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded) {
    return AnalyseOidTAPIRequest(pAdapter, TRUE, Oid, InformationBuffer, InformationBufferLength, BytesWritten,
                                 BytesNeeded);
}

NDIS_STATUS ZolReqSetInformation(PADAPTER pAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                 ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded) {
    return AnalyseOidTAPIRequest(pAdapter, FALSE, Oid, InformationBuffer, InformationBufferLength, BytesRead,
                                 BytesNeeded);
}

// NDISWAN's send handler, DISPATCH_LEVEL. Frames are refused until the send
// path joins.
NDIS_STATUS NTAPI ZolSend(NDIS_HANDLE MacBindingHandle, NDIS_HANDLE NdisLinkHandle, PNDIS_WAN_PACKET Packet) {
    (void)MacBindingHandle;
    (void)NdisLinkHandle;
    (void)Packet;
    return NDIS_STATUS_FAILURE;
}

// The driver never indicates a partial frame, so there is nothing to transfer.
NDIS_STATUS NTAPI ZolTransferData(VOID) { return NDIS_STATUS_FAILURE; }

// One pass of the general loop over B1 and B2; joins with the call work.
VOID ProcessActiveContexts(PADAPTER pAdapter) { (void)pAdapter; }

// Delivers RxQueue to NDISWAN; joins with the receive path.
VOID FeedProtocol(PADAPTER pAdapter) { (void)pAdapter; }
