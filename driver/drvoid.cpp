// drvoid: the TAPI OID requests for lines, addresses, devices and calls, the
// device-ID lookups and the analysis of dial strings.

#include "tolvanex.h"

// Every request the WAN path does not keep. DISPATCH_LEVEL; answered at once.
NDIS_STATUS AnalyseOidTAPIRequest(PADAPTER pAdapter, BOOLEAN Query, NDIS_OID Oid, PVOID InformationBuffer,
                                  ULONG InformationBufferLength, PULONG BytesDone, PULONG BytesNeeded) {
    (void)pAdapter;
    (void)Query;
    (void)Oid;
    (void)InformationBuffer;
    (void)InformationBufferLength;
    *BytesDone = 0;
    *BytesNeeded = 0;
    return NDIS_STATUS_INVALID_OID;
}
