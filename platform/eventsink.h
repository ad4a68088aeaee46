// Where the driver's event hook hands the events it raises. The host build
// routes them to the host's event log; the NT build links an empty sink, so
// there the hook records nothing.
#pragma once

#include "ndis.h"

#ifdef __cplusplus
extern "C" {
#endif

VOID NTAPI PlatformEventSink(NDIS_HANDLE MiniportAdapterHandle, ULONG ErrorCode, ULONG Section, ULONG EventId,
                             ULONG NumberOfStrings, PNDIS_STRING Strings);

#ifdef __cplusplus
}
#endif
