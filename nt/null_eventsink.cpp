// The NT build's event sink: the host routes the driver's events to its
// event log, while on NT the hook's hand-off simply ends here.

#include "eventsink.h"

VOID NTAPI PlatformEventSink(NDIS_HANDLE, ULONG, ULONG, ULONG, ULONG, PNDIS_STRING) {}
