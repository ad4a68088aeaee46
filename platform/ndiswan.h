// NDIS WAN miniport records and codes: WAN and link information, line up and
// line down, framing bits, and the general and WAN OIDs a WAN miniport answers.
// Records keep their 32-bit NT layouts on every build.
#pragma once

#include "ndis.h"

#ifdef __cplusplus
extern "C" {
#endif

// A handle carried inside a published record. NT puts addresses there, which
// are 32 bits wide; the 64-bit host keeps the same layout and puts identities.
typedef ULONG NDIS_HANDLE32, *PNDIS_HANDLE32;

// ---- General OIDs -------------------------------------------------------------

#define OID_GEN_SUPPORTED_LIST 0x00010101
#define OID_GEN_HARDWARE_STATUS 0x00010102
#define OID_GEN_MEDIA_SUPPORTED 0x00010103
#define OID_GEN_MEDIA_IN_USE 0x00010104
#define OID_GEN_MAXIMUM_LOOKAHEAD 0x00010105
#define OID_GEN_MAXIMUM_FRAME_SIZE 0x00010106
#define OID_GEN_LINK_SPEED 0x00010107
#define OID_GEN_TRANSMIT_BUFFER_SPACE 0x00010108
#define OID_GEN_RECEIVE_BUFFER_SPACE 0x00010109
#define OID_GEN_TRANSMIT_BLOCK_SIZE 0x0001010A
#define OID_GEN_RECEIVE_BLOCK_SIZE 0x0001010B
#define OID_GEN_VENDOR_ID 0x0001010C
#define OID_GEN_VENDOR_DESCRIPTION 0x0001010D
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010E
#define OID_GEN_CURRENT_LOOKAHEAD 0x0001010F
#define OID_GEN_DRIVER_VERSION 0x00010110
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111
#define OID_GEN_PROTOCOL_OPTIONS 0x00010112
#define OID_GEN_MAC_OPTIONS 0x00010113

// General statistics.
#define OID_GEN_XMIT_OK 0x00020101
#define OID_GEN_RCV_OK 0x00020102
#define OID_GEN_XMIT_ERROR 0x00020103
#define OID_GEN_RCV_ERROR 0x00020104
#define OID_GEN_RCV_NO_BUFFER 0x00020105

// The miniport's private codes, below every published range: one asks it to
// reload its configuration, the other is reserved.
#define OID_PRIVATE_RECONFIGURE 0x00000010
#define OID_PRIVATE_RESERVED 0x00000020

typedef enum _NDIS_HARDWARE_STATUS {
    NdisHardwareStatusReady = 0,
    NdisHardwareStatusInitializing = 1,
    NdisHardwareStatusReset = 2,
    NdisHardwareStatusClosing = 3,
    NdisHardwareStatusNotReady = 4
} NDIS_HARDWARE_STATUS, *PNDIS_HARDWARE_STATUS;

// OID_GEN_MAC_OPTIONS bits.
#define NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA 0x00000001
#define NDIS_MAC_OPTION_RECEIVE_SERIALIZED 0x00000002
#define NDIS_MAC_OPTION_TRANSFERS_NOT_PEND 0x00000004
#define NDIS_MAC_OPTION_NO_LOOPBACK 0x00000008
#define NDIS_MAC_OPTION_FULL_DUPLEX 0x00000010

// ---- WAN OIDs ---------------------------------------------------------------

#define OID_WAN_PERMANENT_ADDRESS 0x04010101
#define OID_WAN_CURRENT_ADDRESS 0x04010102
#define OID_WAN_QUALITY_OF_SERVICE 0x04010103
#define OID_WAN_PROTOCOL_TYPE 0x04010104
#define OID_WAN_MEDIUM_SUBTYPE 0x04010105
#define OID_WAN_HEADER_FORMAT 0x04010106
#define OID_WAN_GET_INFO 0x04010107
#define OID_WAN_SET_LINK_INFO 0x04010108
#define OID_WAN_GET_LINK_INFO 0x04010109
#define OID_WAN_LINE_COUNT 0x0401010A
#define OID_WAN_GET_BRIDGE_INFO 0x0401020A
#define OID_WAN_SET_BRIDGE_INFO 0x0401020B
#define OID_WAN_GET_COMP_INFO 0x0401020C
#define OID_WAN_SET_COMP_INFO 0x0401020D

typedef enum _NDIS_WAN_MEDIUM_SUBTYPE {
    NdisWanMediumHub = 0,
    NdisWanMediumX_25 = 1,
    NdisWanMediumIsdn = 2,
    NdisWanMediumSerial = 3,
    NdisWanMediumFrameRelay = 4,
    NdisWanMediumAtm = 5,
    NdisWanMediumSonet = 6,
    NdisWanMediumSW56K = 7
} NDIS_WAN_MEDIUM_SUBTYPE, *PNDIS_WAN_MEDIUM_SUBTYPE;

typedef enum _NDIS_WAN_HEADER_FORMAT {
    NdisWanHeaderNative = 0,
    NdisWanHeaderEthernet = 1
} NDIS_WAN_HEADER_FORMAT, *PNDIS_WAN_HEADER_FORMAT;

typedef enum _NDIS_WAN_QUALITY {
    NdisWanRaw = 0,
    NdisWanErrorControl = 1,
    NdisWanReliable = 2
} NDIS_WAN_QUALITY, *PNDIS_WAN_QUALITY;

// ---- Framing bits (NDIS_WAN_INFO and link information) ----------------------------

#define RAS_FRAMING 0x00000001
#define RAS_COMPRESSION 0x00000002
#define PPP_FRAMING 0x00000100
#define PPP_COMPRESS_ADDRESS_CONTROL 0x00000200
#define PPP_COMPRESS_PROTOCOL_FIELD 0x00000400
#define PPP_ACCM_SUPPORTED 0x00000800
#define SLIP_FRAMING 0x00001000
#define SLIP_VJ_COMPRESSION 0x00002000
#define SLIP_VJ_AUTODETECT 0x00004000
#define MEDIA_NRZ_ENCODING 0x00010000
#define MEDIA_NRZI_ENCODING 0x00020000
#define MEDIA_NLPID 0x00040000
#define RFC_1356_FRAMING 0x00100000
#define RFC_1483_FRAMING 0x00200000
#define RFC_1490_FRAMING 0x00400000
#define SHIVA_FRAMING 0x01000000
#define PASS_THROUGH_MODE 0x10000000
#define RAW_PASS_THROUGH_MODE 0x20000000
#define TAPI_PROVIDER 0x80000000 // the miniport is its own TAPI provider

// ---- Records -----------------------------------------------------------------------

// Answer to OID_WAN_GET_INFO.
typedef struct _NDIS_WAN_INFO {
    ULONG MaxFrameSize;
    ULONG MaxTransmit;   // sends the miniport takes before it completes one
    ULONG HeaderPadding; // room NDISWAN leaves before each frame
    ULONG TailPadding;   // room NDISWAN leaves after each frame
    ULONG Endpoints;     // links the miniport can carry at once
    UINT MemoryFlags;
    NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress;
    ULONG FramingBits; // framing bits above, TAPI_PROVIDER included
    ULONG DesiredACCM;
} NDIS_WAN_INFO, *PNDIS_WAN_INFO;

static_assert(sizeof(NDIS_WAN_INFO) == 40, "NDIS_WAN_INFO is 40 bytes");
static_assert(offsetof(NDIS_WAN_INFO, MemoryFlags) == 20, "NDIS_WAN_INFO.MemoryFlags");
static_assert(offsetof(NDIS_WAN_INFO, HighestAcceptableAddress) == 24,
              "NDIS_WAN_INFO.HighestAcceptableAddress");
static_assert(offsetof(NDIS_WAN_INFO, FramingBits) == 32, "NDIS_WAN_INFO.FramingBits");
static_assert(offsetof(NDIS_WAN_INFO, DesiredACCM) == 36, "NDIS_WAN_INFO.DesiredACCM");

// Answer to OID_WAN_GET_LINK_INFO; the caller fills NdisLinkHandle.
typedef struct _NDIS_WAN_GET_LINK_INFO {
    NDIS_HANDLE32 NdisLinkHandle; // the miniport's handle of the link, from line up
    ULONG MaxSendFrameSize;
    ULONG MaxRecvFrameSize;
    ULONG HeaderPadding;
    ULONG TailPadding;
    ULONG SendFramingBits;
    ULONG RecvFramingBits;
    ULONG SendCompressionBits;
    ULONG RecvCompressionBits;
    ULONG SendACCM;
    ULONG RecvACCM;
} NDIS_WAN_GET_LINK_INFO, *PNDIS_WAN_GET_LINK_INFO;

// Request of OID_WAN_SET_LINK_INFO: the same layout, every field set by NDISWAN.
typedef struct _NDIS_WAN_SET_LINK_INFO {
    NDIS_HANDLE32 NdisLinkHandle;
    ULONG MaxSendFrameSize;
    ULONG MaxRecvFrameSize;
    ULONG HeaderPadding;
    ULONG TailPadding;
    ULONG SendFramingBits;
    ULONG RecvFramingBits;
    ULONG SendCompressionBits;
    ULONG RecvCompressionBits;
    ULONG SendACCM;
    ULONG RecvACCM;
} NDIS_WAN_SET_LINK_INFO, *PNDIS_WAN_SET_LINK_INFO;

static_assert(sizeof(NDIS_WAN_GET_LINK_INFO) == 44, "NDIS_WAN_GET_LINK_INFO is 44 bytes");
static_assert(sizeof(NDIS_WAN_SET_LINK_INFO) == 44, "NDIS_WAN_SET_LINK_INFO is 44 bytes");
static_assert(offsetof(NDIS_WAN_GET_LINK_INFO, SendFramingBits) == 20,
              "NDIS_WAN_GET_LINK_INFO.SendFramingBits");
static_assert(offsetof(NDIS_WAN_GET_LINK_INFO, RecvACCM) == 40, "NDIS_WAN_GET_LINK_INFO.RecvACCM");
static_assert(offsetof(NDIS_WAN_SET_LINK_INFO, SendFramingBits) == 20,
              "NDIS_WAN_SET_LINK_INFO.SendFramingBits");
static_assert(offsetof(NDIS_WAN_SET_LINK_INFO, RecvACCM) == 40, "NDIS_WAN_SET_LINK_INFO.RecvACCM");

// Buffer of NDIS_STATUS_WAN_LINE_UP.
typedef struct _NDIS_MAC_LINE_UP {
    ULONG LinkSpeed; // units of 100 bit/s
    NDIS_WAN_QUALITY Quality;
    USHORT SendWindow;                 // frames NDISWAN may have outstanding on the link
    NDIS_HANDLE32 ConnectionWrapperID; // TAPI's call handle (htCall)
    NDIS_HANDLE32 NdisLinkHandle;      // the miniport's handle of the link
    NDIS_HANDLE32 NdisLinkContext;     // 0 for a new link; NDISWAN sets it during the indication
} NDIS_MAC_LINE_UP, *PNDIS_MAC_LINE_UP;

static_assert(sizeof(NDIS_WAN_QUALITY) == 4, "enums are 32 bits in NT records");
static_assert(sizeof(NDIS_MAC_LINE_UP) == 24, "NDIS_MAC_LINE_UP is 24 bytes");
static_assert(offsetof(NDIS_MAC_LINE_UP, Quality) == 4, "NDIS_MAC_LINE_UP.Quality");
static_assert(offsetof(NDIS_MAC_LINE_UP, SendWindow) == 8, "NDIS_MAC_LINE_UP.SendWindow");
static_assert(offsetof(NDIS_MAC_LINE_UP, ConnectionWrapperID) == 12,
              "NDIS_MAC_LINE_UP.ConnectionWrapperID");
static_assert(offsetof(NDIS_MAC_LINE_UP, NdisLinkHandle) == 16, "NDIS_MAC_LINE_UP.NdisLinkHandle");
static_assert(offsetof(NDIS_MAC_LINE_UP, NdisLinkContext) == 20,
              "NDIS_MAC_LINE_UP.NdisLinkContext");

// Buffer of NDIS_STATUS_WAN_LINE_DOWN.
typedef struct _NDIS_MAC_LINE_DOWN {
    NDIS_HANDLE32 NdisLinkContext; // NDISWAN's context of the link, from line up
} NDIS_MAC_LINE_DOWN, *PNDIS_MAC_LINE_DOWN;

static_assert(sizeof(NDIS_MAC_LINE_DOWN) == 4, "NDIS_MAC_LINE_DOWN is 4 bytes");

#ifdef __cplusplus
}
#endif
