// NDIS TAPI: the OID_TAPI_* requests a WAN miniport answers as a TAPI provider,
// their records, the events it indicates and the TAPI constants they carry.
// TAPI 1.3 layouts (NDIS TAPI 0x00010003), 32-bit NT layouts on every build.
#pragma once

#include "ndis.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NDIS_TAPI_CURRENT_VERSION 0x00010003

// TAPI's and the provider's handles of lines and calls: 32 bits in every record.
typedef ULONG HTAPI_LINE; // TAPI's line handle (htLine)
typedef ULONG HDRV_LINE;  // the provider's line handle (hdLine)
typedef ULONG HTAPI_CALL; // TAPI's call handle (htCall)
typedef ULONG HDRV_CALL;  // the provider's call handle (hdCall)

// ---- Request codes ------------------------------------------------------------

#define OID_TAPI_ACCEPT 0x07030101
#define OID_TAPI_ANSWER 0x07030102
#define OID_TAPI_CLOSE 0x07030103
#define OID_TAPI_CLOSE_CALL 0x07030104
#define OID_TAPI_CONDITIONAL_MEDIA_DETECTION 0x07030105
#define OID_TAPI_CONFIG_DIALOG 0x07030106
#define OID_TAPI_DEV_SPECIFIC 0x07030107
#define OID_TAPI_DIAL 0x07030108
#define OID_TAPI_DROP 0x07030109
#define OID_TAPI_GET_ADDRESS_CAPS 0x0703010A
#define OID_TAPI_GET_ADDRESS_ID 0x0703010B
#define OID_TAPI_GET_ADDRESS_STATUS 0x0703010C
#define OID_TAPI_GET_CALL_ADDRESS_ID 0x0703010D
#define OID_TAPI_GET_CALL_INFO 0x0703010E
#define OID_TAPI_GET_CALL_STATUS 0x0703010F
#define OID_TAPI_GET_DEV_CAPS 0x07030110
#define OID_TAPI_GET_DEV_CONFIG 0x07030111
#define OID_TAPI_GET_EXTENSION_ID 0x07030112
#define OID_TAPI_GET_ID 0x07030113
#define OID_TAPI_GET_LINE_DEV_STATUS 0x07030114
#define OID_TAPI_MAKE_CALL 0x07030115
#define OID_TAPI_NEGOTIATE_EXT_VERSION 0x07030116
#define OID_TAPI_OPEN 0x07030117
#define OID_TAPI_PROVIDER_INITIALIZE 0x07030118
#define OID_TAPI_PROVIDER_SHUTDOWN 0x07030119
#define OID_TAPI_SECURE_CALL 0x0703011A
#define OID_TAPI_SELECT_EXT_VERSION 0x0703011B
#define OID_TAPI_SEND_USER_USER_INFO 0x0703011C
#define OID_TAPI_SET_APP_SPECIFIC 0x0703011D
#define OID_TAPI_SET_CALL_PARAMS 0x0703011E
#define OID_TAPI_SET_DEFAULT_MEDIA_DETECTION 0x0703011F
#define OID_TAPI_SET_DEV_CONFIG 0x07030120
#define OID_TAPI_SET_MEDIA_MODE 0x07030121
#define OID_TAPI_SET_STATUS_MESSAGES 0x07030122
// Later additions, unknown to a TAPI 1.3 provider.
#define OID_TAPI_GATHER_DIGITS 0x07030123
#define OID_TAPI_MONITOR_DIGITS 0x07030124

// ---- Status codes (NDIS_STATUS_TAPI_INDICATION is in ndis.h) ------------------------

#define NDIS_STATUS_TAPI_ADDRESSBLOCKED ((NDIS_STATUS)0xC0012000L)
#define NDIS_STATUS_TAPI_BEARERMODEUNAVAIL ((NDIS_STATUS)0xC0012001L)
#define NDIS_STATUS_TAPI_CALLUNAVAIL ((NDIS_STATUS)0xC0012002L)
#define NDIS_STATUS_TAPI_DIALBILLING ((NDIS_STATUS)0xC0012003L)
#define NDIS_STATUS_TAPI_DIALDIALTONE ((NDIS_STATUS)0xC0012004L)
#define NDIS_STATUS_TAPI_DIALPROMPT ((NDIS_STATUS)0xC0012005L)
#define NDIS_STATUS_TAPI_DIALQUIET ((NDIS_STATUS)0xC0012006L)
#define NDIS_STATUS_TAPI_INCOMPATIBLEEXTVERSION ((NDIS_STATUS)0xC0012007L)
#define NDIS_STATUS_TAPI_INUSE ((NDIS_STATUS)0xC0012008L)
#define NDIS_STATUS_TAPI_INVALADDRESS ((NDIS_STATUS)0xC0012009L)
#define NDIS_STATUS_TAPI_INVALADDRESSID ((NDIS_STATUS)0xC001200AL)
#define NDIS_STATUS_TAPI_INVALADDRESSMODE ((NDIS_STATUS)0xC001200BL)
#define NDIS_STATUS_TAPI_INVALBEARERMODE ((NDIS_STATUS)0xC001200CL)
#define NDIS_STATUS_TAPI_INVALCALLHANDLE ((NDIS_STATUS)0xC001200DL)
#define NDIS_STATUS_TAPI_INVALCALLPARAMS ((NDIS_STATUS)0xC001200EL)
#define NDIS_STATUS_TAPI_INVALCALLSTATE ((NDIS_STATUS)0xC001200FL)
#define NDIS_STATUS_TAPI_INVALDEVICECLASS ((NDIS_STATUS)0xC0012010L)
#define NDIS_STATUS_TAPI_INVALLINEHANDLE ((NDIS_STATUS)0xC0012011L)
#define NDIS_STATUS_TAPI_INVALLINESTATE ((NDIS_STATUS)0xC0012012L)
#define NDIS_STATUS_TAPI_INVALMEDIAMODE ((NDIS_STATUS)0xC0012013L)
#define NDIS_STATUS_TAPI_INVALRATE ((NDIS_STATUS)0xC0012014L)
#define NDIS_STATUS_TAPI_NODRIVER ((NDIS_STATUS)0xC0012015L)
#define NDIS_STATUS_TAPI_OPERATIONUNAVAIL ((NDIS_STATUS)0xC0012016L)
#define NDIS_STATUS_TAPI_RATEUNAVAIL ((NDIS_STATUS)0xC0012017L)
#define NDIS_STATUS_TAPI_RESOURCEUNAVAIL ((NDIS_STATUS)0xC0012018L)
#define NDIS_STATUS_TAPI_STRUCTURETOOSMALL ((NDIS_STATUS)0xC0012019L)
#define NDIS_STATUS_TAPI_USERUSERINFOTOOBIG ((NDIS_STATUS)0xC001201AL)
#define NDIS_STATUS_TAPI_ALLOCATED ((NDIS_STATUS)0xC001201BL)
#define NDIS_STATUS_TAPI_INVALADDRESSSTATE ((NDIS_STATUS)0xC001201CL)
#define NDIS_STATUS_TAPI_INVALPARAM ((NDIS_STATUS)0xC001201DL)
#define NDIS_STATUS_TAPI_NODEVICE ((NDIS_STATUS)0xC001201EL)

// ---- Event messages (NDIS_TAPI_EVENT.ulMsg) -----------------------------------------

#define LINE_ADDRESSSTATE 0
#define LINE_CALLINFO 1
#define LINE_CALLSTATE 2
#define LINE_CLOSE 3
#define LINE_DEVSPECIFIC 4
#define LINE_DEVSPECIFICFEATURE 5
#define LINE_GATHERDIGITS 6
#define LINE_GENERATE 7
#define LINE_LINEDEVSTATE 8
#define LINE_MONITORDIGITS 9
#define LINE_MONITORMEDIA 10
#define LINE_MONITORTONE 11
#define LINE_REPLY 12
#define LINE_REQUEST 13

// Messages from a provider only, above TAPI's own.
#define TSPI_MESSAGE_BASE 500
#define LINE_NEWCALL TSPI_MESSAGE_BASE // ulParam1 in: hdCall; ulParam2 out: TAPI's htCall
#define LINE_CALLDEVSPECIFIC (TSPI_MESSAGE_BASE + 1)

// ---- TAPI constants -----------------------------------------------------------------

#define STRINGFORMAT_ASCII 0x00000001
#define STRINGFORMAT_DBCS 0x00000002
#define STRINGFORMAT_UNICODE 0x00000003
#define STRINGFORMAT_BINARY 0x00000004

#define LINEADDRCAPFLAGS_FWDNUMRINGS 0x00000001
#define LINEADDRCAPFLAGS_PICKUPGROUPID 0x00000002
#define LINEADDRCAPFLAGS_SECURE 0x00000004
#define LINEADDRCAPFLAGS_BLOCKIDDEFAULT 0x00000008
#define LINEADDRCAPFLAGS_BLOCKIDOVERRIDE 0x00000010
#define LINEADDRCAPFLAGS_DIALED 0x00000020
#define LINEADDRCAPFLAGS_ORIGOFFHOOK 0x00000040
#define LINEADDRCAPFLAGS_DESTOFFHOOK 0x00000080
#define LINEADDRCAPFLAGS_FWDCONSULT 0x00000100
#define LINEADDRCAPFLAGS_SETUPCONFNULL 0x00000200
#define LINEADDRCAPFLAGS_AUTORECONNECT 0x00000400
#define LINEADDRCAPFLAGS_COMPLETIONID 0x00000800
#define LINEADDRCAPFLAGS_TRANSFERHELD 0x00001000
#define LINEADDRCAPFLAGS_TRANSFERMAKE 0x00002000
#define LINEADDRCAPFLAGS_CONFERENCEHELD 0x00004000
#define LINEADDRCAPFLAGS_CONFERENCEMAKE 0x00008000
#define LINEADDRCAPFLAGS_PARTIALDIAL 0x00010000
#define LINEADDRCAPFLAGS_FWDSTATUSVALID 0x00020000
#define LINEADDRCAPFLAGS_FWDINTEXTADDR 0x00040000
#define LINEADDRCAPFLAGS_FWDBUSYNAADDR 0x00080000
#define LINEADDRCAPFLAGS_ACCEPTTOALERT 0x00100000
#define LINEADDRCAPFLAGS_CONFDROP 0x00200000
#define LINEADDRCAPFLAGS_PICKUPCALLWAIT 0x00400000

#define LINEADDRESSMODE_ADDRESSID 0x00000001
#define LINEADDRESSMODE_DIALABLEADDR 0x00000002

#define LINEADDRESSSHARING_PRIVATE 0x00000001
#define LINEADDRESSSHARING_BRIDGEDEXCL 0x00000002
#define LINEADDRESSSHARING_BRIDGEDNEW 0x00000004
#define LINEADDRESSSHARING_BRIDGEDSHARED 0x00000008
#define LINEADDRESSSHARING_MONITORED 0x00000010

#define LINEADDRESSSTATE_OTHER 0x00000001
#define LINEADDRESSSTATE_DEVSPECIFIC 0x00000002
#define LINEADDRESSSTATE_INUSEZERO 0x00000004
#define LINEADDRESSSTATE_INUSEONE 0x00000008
#define LINEADDRESSSTATE_INUSEMANY 0x00000010
#define LINEADDRESSSTATE_NUMCALLS 0x00000020
#define LINEADDRESSSTATE_FORWARD 0x00000040
#define LINEADDRESSSTATE_TERMINALS 0x00000080

#define LINEADDRFEATURE_FORWARD 0x00000001
#define LINEADDRFEATURE_MAKECALL 0x00000002
#define LINEADDRFEATURE_PICKUP 0x00000004
#define LINEADDRFEATURE_SETMEDIACONTROL 0x00000008
#define LINEADDRFEATURE_SETTERMINAL 0x00000010
#define LINEADDRFEATURE_SETUPCONF 0x00000020
#define LINEADDRFEATURE_UNCOMPLETECALL 0x00000040
#define LINEADDRFEATURE_UNPARK 0x00000080

#define LINEANSWERMODE_NONE 0x00000001
#define LINEANSWERMODE_DROP 0x00000002
#define LINEANSWERMODE_HOLD 0x00000004

#define LINEBEARERMODE_VOICE 0x00000001
#define LINEBEARERMODE_SPEECH 0x00000002
#define LINEBEARERMODE_MULTIUSE 0x00000004
#define LINEBEARERMODE_DATA 0x00000008
#define LINEBEARERMODE_ALTSPEECHDATA 0x00000010
#define LINEBEARERMODE_NONCALLSIGNALING 0x00000020
#define LINEBEARERMODE_PASSTHROUGH 0x00000040

#define LINEBUSYMODE_STATION 0x00000001
#define LINEBUSYMODE_TRUNK 0x00000002
#define LINEBUSYMODE_UNKNOWN 0x00000004
#define LINEBUSYMODE_UNAVAIL 0x00000008

#define LINECALLFEATURE_ACCEPT 0x00000001
#define LINECALLFEATURE_ADDTOCONF 0x00000002
#define LINECALLFEATURE_ANSWER 0x00000004
#define LINECALLFEATURE_BLINDTRANSFER 0x00000008
#define LINECALLFEATURE_COMPLETECALL 0x00000010
#define LINECALLFEATURE_COMPLETETRANSF 0x00000020
#define LINECALLFEATURE_DIAL 0x00000040
#define LINECALLFEATURE_DROP 0x00000080
#define LINECALLFEATURE_GATHERDIGITS 0x00000100
#define LINECALLFEATURE_GENERATEDIGITS 0x00000200
#define LINECALLFEATURE_GENERATETONE 0x00000400
#define LINECALLFEATURE_HOLD 0x00000800
#define LINECALLFEATURE_MONITORDIGITS 0x00001000
#define LINECALLFEATURE_MONITORMEDIA 0x00002000
#define LINECALLFEATURE_MONITORTONES 0x00004000
#define LINECALLFEATURE_PARK 0x00008000
#define LINECALLFEATURE_PREPAREADDCONF 0x00010000
#define LINECALLFEATURE_REDIRECT 0x00020000
#define LINECALLFEATURE_REMOVEFROMCONF 0x00040000
#define LINECALLFEATURE_SECURECALL 0x00080000
#define LINECALLFEATURE_SENDUSERUSER 0x00100000
#define LINECALLFEATURE_SETCALLPARAMS 0x00200000
#define LINECALLFEATURE_SETMEDIACONTROL 0x00400000
#define LINECALLFEATURE_SETTERMINAL 0x00800000
#define LINECALLFEATURE_SETUPCONF 0x01000000
#define LINECALLFEATURE_SETUPTRANSFER 0x02000000
#define LINECALLFEATURE_SWAPHOLD 0x04000000
#define LINECALLFEATURE_UNHOLD 0x08000000

#define LINECALLINFOSTATE_OTHER 0x00000001
#define LINECALLINFOSTATE_DEVSPECIFIC 0x00000002
#define LINECALLINFOSTATE_BEARERMODE 0x00000004
#define LINECALLINFOSTATE_RATE 0x00000008
#define LINECALLINFOSTATE_MEDIAMODE 0x00000010
#define LINECALLINFOSTATE_APPSPECIFIC 0x00000020
#define LINECALLINFOSTATE_CALLID 0x00000040
#define LINECALLINFOSTATE_RELATEDCALLID 0x00000080
#define LINECALLINFOSTATE_ORIGIN 0x00000100
#define LINECALLINFOSTATE_REASON 0x00000200
#define LINECALLINFOSTATE_COMPLETIONID 0x00000400
#define LINECALLINFOSTATE_NUMOWNERINCR 0x00000800
#define LINECALLINFOSTATE_NUMOWNERDECR 0x00001000
#define LINECALLINFOSTATE_NUMMONITORS 0x00002000
#define LINECALLINFOSTATE_TRUNK 0x00004000
#define LINECALLINFOSTATE_CALLERID 0x00008000
#define LINECALLINFOSTATE_CALLEDID 0x00010000
#define LINECALLINFOSTATE_CONNECTEDID 0x00020000
#define LINECALLINFOSTATE_REDIRECTIONID 0x00040000
#define LINECALLINFOSTATE_REDIRECTINGID 0x00080000
#define LINECALLINFOSTATE_DISPLAY 0x00100000
#define LINECALLINFOSTATE_USERUSERINFO 0x00200000
#define LINECALLINFOSTATE_HIGHLEVELCOMP 0x00400000
#define LINECALLINFOSTATE_LOWLEVELCOMP 0x00800000
#define LINECALLINFOSTATE_CHARGINGINFO 0x01000000
#define LINECALLINFOSTATE_TERMINAL 0x02000000
#define LINECALLINFOSTATE_DIALPARAMS 0x04000000
#define LINECALLINFOSTATE_MONITORMODES 0x08000000

#define LINECALLORIGIN_OUTBOUND 0x00000001
#define LINECALLORIGIN_INTERNAL 0x00000002
#define LINECALLORIGIN_EXTERNAL 0x00000004
#define LINECALLORIGIN_UNKNOWN 0x00000010
#define LINECALLORIGIN_UNAVAIL 0x00000020
#define LINECALLORIGIN_CONFERENCE 0x00000040

#define LINECALLPARAMFLAGS_SECURE 0x00000001
#define LINECALLPARAMFLAGS_IDLE 0x00000002
#define LINECALLPARAMFLAGS_BLOCKID 0x00000004
#define LINECALLPARAMFLAGS_ORIGOFFHOOK 0x00000008
#define LINECALLPARAMFLAGS_DESTOFFHOOK 0x00000010

#define LINECALLPARTYID_BLOCKED 0x00000001
#define LINECALLPARTYID_OUTOFAREA 0x00000002
#define LINECALLPARTYID_NAME 0x00000004
#define LINECALLPARTYID_ADDRESS 0x00000008
#define LINECALLPARTYID_PARTIAL 0x00000010
#define LINECALLPARTYID_UNKNOWN 0x00000020
#define LINECALLPARTYID_UNAVAIL 0x00000040

#define LINECALLPRIVILEGE_NONE 0x00000001
#define LINECALLPRIVILEGE_MONITOR 0x00000002
#define LINECALLPRIVILEGE_OWNER 0x00000004

#define LINECALLREASON_DIRECT 0x00000001
#define LINECALLREASON_FWDBUSY 0x00000002
#define LINECALLREASON_FWDNOANSWER 0x00000004
#define LINECALLREASON_FWDUNCOND 0x00000008
#define LINECALLREASON_PICKUP 0x00000010
#define LINECALLREASON_UNPARK 0x00000020
#define LINECALLREASON_REDIRECT 0x00000040
#define LINECALLREASON_CALLCOMPLETION 0x00000080
#define LINECALLREASON_TRANSFER 0x00000100
#define LINECALLREASON_REMINDER 0x00000200
#define LINECALLREASON_UNKNOWN 0x00000400
#define LINECALLREASON_UNAVAIL 0x00000800

#define LINECALLSELECT_LINE 0x00000001
#define LINECALLSELECT_ADDRESS 0x00000002
#define LINECALLSELECT_CALL 0x00000004

#define LINECALLSTATE_IDLE 0x00000001
#define LINECALLSTATE_OFFERING 0x00000002
#define LINECALLSTATE_ACCEPTED 0x00000004
#define LINECALLSTATE_DIALTONE 0x00000008
#define LINECALLSTATE_DIALING 0x00000010
#define LINECALLSTATE_RINGBACK 0x00000020
#define LINECALLSTATE_BUSY 0x00000040
#define LINECALLSTATE_SPECIALINFO 0x00000080
#define LINECALLSTATE_CONNECTED 0x00000100
#define LINECALLSTATE_PROCEEDING 0x00000200
#define LINECALLSTATE_ONHOLD 0x00000400
#define LINECALLSTATE_CONFERENCED 0x00000800
#define LINECALLSTATE_ONHOLDPENDCONF 0x00001000
#define LINECALLSTATE_ONHOLDPENDTRANSFER 0x00002000
#define LINECALLSTATE_DISCONNECTED 0x00004000
#define LINECALLSTATE_UNKNOWN 0x00008000

#define LINEDEVCAPFLAGS_CROSSADDRCONF 0x00000001
#define LINEDEVCAPFLAGS_HIGHLEVCOMP 0x00000002
#define LINEDEVCAPFLAGS_LOWLEVCOMP 0x00000004
#define LINEDEVCAPFLAGS_MEDIACONTROL 0x00000008
#define LINEDEVCAPFLAGS_MULTIPLEADDR 0x00000010
#define LINEDEVCAPFLAGS_CLOSEDROP 0x00000020
#define LINEDEVCAPFLAGS_DIALBILLING 0x00000040
#define LINEDEVCAPFLAGS_DIALQUIET 0x00000080
#define LINEDEVCAPFLAGS_DIALDIALTONE 0x00000100

#define LINEDEVSTATE_OTHER 0x00000001
#define LINEDEVSTATE_RINGING 0x00000002
#define LINEDEVSTATE_CONNECTED 0x00000004
#define LINEDEVSTATE_DISCONNECTED 0x00000008
#define LINEDEVSTATE_MSGWAITON 0x00000010
#define LINEDEVSTATE_MSGWAITOFF 0x00000020
#define LINEDEVSTATE_INSERVICE 0x00000040
#define LINEDEVSTATE_OUTOFSERVICE 0x00000080
#define LINEDEVSTATE_MAINTENANCE 0x00000100
#define LINEDEVSTATE_OPEN 0x00000200
#define LINEDEVSTATE_CLOSE 0x00000400
#define LINEDEVSTATE_NUMCALLS 0x00000800
#define LINEDEVSTATE_NUMCOMPLETIONS 0x00001000
#define LINEDEVSTATE_TERMINALS 0x00002000
#define LINEDEVSTATE_ROAMMODE 0x00004000
#define LINEDEVSTATE_BATTERY 0x00008000
#define LINEDEVSTATE_SIGNAL 0x00010000
#define LINEDEVSTATE_DEVSPECIFIC 0x00020000
#define LINEDEVSTATE_REINIT 0x00040000
#define LINEDEVSTATE_LOCK 0x00080000
#define LINEDEVSTATE_REMOVED 0x01000000

#define LINEDEVSTATUSFLAGS_CONNECTED 0x00000001
#define LINEDEVSTATUSFLAGS_MSGWAIT 0x00000002
#define LINEDEVSTATUSFLAGS_INSERVICE 0x00000004
#define LINEDEVSTATUSFLAGS_LOCKED 0x00000008

#define LINEDIALTONEMODE_NORMAL 0x00000001
#define LINEDIALTONEMODE_SPECIAL 0x00000002
#define LINEDIALTONEMODE_INTERNAL 0x00000004
#define LINEDIALTONEMODE_EXTERNAL 0x00000008
#define LINEDIALTONEMODE_UNKNOWN 0x00000010
#define LINEDIALTONEMODE_UNAVAIL 0x00000020

#define LINEDISCONNECTMODE_NORMAL 0x00000001
#define LINEDISCONNECTMODE_UNKNOWN 0x00000002
#define LINEDISCONNECTMODE_REJECT 0x00000004
#define LINEDISCONNECTMODE_PICKUP 0x00000008
#define LINEDISCONNECTMODE_FORWARDED 0x00000010
#define LINEDISCONNECTMODE_BUSY 0x00000020
#define LINEDISCONNECTMODE_NOANSWER 0x00000040
#define LINEDISCONNECTMODE_BADADDRESS 0x00000080
#define LINEDISCONNECTMODE_UNREACHABLE 0x00000100
#define LINEDISCONNECTMODE_CONGESTION 0x00000200
#define LINEDISCONNECTMODE_INCOMPATIBLE 0x00000400
#define LINEDISCONNECTMODE_UNAVAIL 0x00000800
#define LINEDISCONNECTMODE_NODIALTONE 0x00001000

#define LINEFEATURE_DEVSPECIFIC 0x00000001
#define LINEFEATURE_DEVSPECIFICFEAT 0x00000002
#define LINEFEATURE_FORWARD 0x00000004
#define LINEFEATURE_MAKECALL 0x00000008
#define LINEFEATURE_SETMEDIACONTROL 0x00000010
#define LINEFEATURE_SETTERMINAL 0x00000020

#define LINEMEDIAMODE_UNKNOWN 0x00000002
#define LINEMEDIAMODE_INTERACTIVEVOICE 0x00000004
#define LINEMEDIAMODE_AUTOMATEDVOICE 0x00000008
#define LINEMEDIAMODE_DATAMODEM 0x00000010
#define LINEMEDIAMODE_G3FAX 0x00000020
#define LINEMEDIAMODE_TDD 0x00000040
#define LINEMEDIAMODE_G4FAX 0x00000080
#define LINEMEDIAMODE_DIGITALDATA 0x00000100
#define LINEMEDIAMODE_TELETEX 0x00000200
#define LINEMEDIAMODE_VIDEOTEX 0x00000400
#define LINEMEDIAMODE_TELEX 0x00000800
#define LINEMEDIAMODE_MIXED 0x00001000
#define LINEMEDIAMODE_ADSI 0x00002000

#define LINESPECIALINFO_NOCIRCUIT 0x00000001
#define LINESPECIALINFO_CUSTIRREG 0x00000002
#define LINESPECIALINFO_REORDER 0x00000004
#define LINESPECIALINFO_UNKNOWN 0x00000008
#define LINESPECIALINFO_UNAVAIL 0x00000010

// ---- Result and parameter records ----------------------------------------------
// Each variable part is a Size/Offset pair; offsets count from the start of the
// record that holds the pair, and the parts follow the fixed record.

typedef struct _LINE_DIAL_PARAMS {
    ULONG ulDialPause; // ms
    ULONG ulDialSpeed; // ms between digits
    ULONG ulDigitDuration;
    ULONG ulWaitForDialtone;
} LINE_DIAL_PARAMS, *PLINE_DIAL_PARAMS;

typedef struct _LINE_DEV_CAPS {
    ULONG ulTotalSize; // bytes the caller allows, fixed part included
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG ulProviderInfoSize;
    ULONG ulProviderInfoOffset;
    ULONG ulSwitchInfoSize;
    ULONG ulSwitchInfoOffset;
    ULONG ulPermanentLineID;
    ULONG ulLineNameSize;
    ULONG ulLineNameOffset;
    ULONG ulStringFormat; // STRINGFORMAT_*
    ULONG ulAddressModes; // LINEADDRESSMODE_*
    ULONG ulNumAddresses;
    ULONG ulBearerModes; // LINEBEARERMODE_*
    ULONG ulMaxRate;     // bit/s
    ULONG ulMediaModes;  // LINEMEDIAMODE_*
    ULONG ulGenerateToneModes;
    ULONG ulGenerateToneMaxNumFreq;
    ULONG ulGenerateDigitModes;
    ULONG ulMonitorToneMaxNumFreq;
    ULONG ulMonitorToneMaxNumEntries;
    ULONG ulMonitorDigitModes;
    ULONG ulGatherDigitsMinTimeout;
    ULONG ulGatherDigitsMaxTimeout;
    ULONG ulMedCtlDigitMaxListSize;
    ULONG ulMedCtlMediaMaxListSize;
    ULONG ulMedCtlToneMaxListSize;
    ULONG ulMedCtlCallStateMaxListSize;
    ULONG ulDevCapFlags; // LINEDEVCAPFLAGS_*
    ULONG ulMaxNumActiveCalls;
    ULONG ulAnswerMode; // LINEANSWERMODE_*
    ULONG ulRingModes;
    ULONG ulLineStates; // LINEDEVSTATE_* the line reports
    ULONG ulUUIAcceptSize;
    ULONG ulUUIAnswerSize;
    ULONG ulUUIMakeCallSize;
    ULONG ulUUIDropSize;
    ULONG ulUUISendUserUserInfoSize;
    ULONG ulUUICallInfoSize;
    LINE_DIAL_PARAMS MinDialParams;
    LINE_DIAL_PARAMS MaxDialParams;
    LINE_DIAL_PARAMS DefaultDialParams;
    ULONG ulNumTerminals;
    ULONG ulTerminalCapsSize;
    ULONG ulTerminalCapsOffset;
    ULONG ulTerminalTextEntrySize;
    ULONG ulTerminalTextSize;
    ULONG ulTerminalTextOffset;
    ULONG ulDevSpecificSize;
    ULONG ulDevSpecificOffset;
} LINE_DEV_CAPS, *PLINE_DEV_CAPS;

typedef struct _LINE_DEV_STATUS {
    ULONG ulTotalSize;
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG ulNumOpens;
    ULONG ulOpenMediaModes;
    ULONG ulNumActiveCalls;
    ULONG ulNumOnHoldCalls;
    ULONG ulNumOnHoldPendCalls;
    ULONG ulLineFeatures; // LINEFEATURE_*
    ULONG ulNumCallCompletions;
    ULONG ulRingMode;
    ULONG ulSignalLevel;
    ULONG ulBatteryLevel;
    ULONG ulRoamMode;
    ULONG ulDevStatusFlags; // LINEDEVSTATUSFLAGS_*
    ULONG ulTerminalModesSize;
    ULONG ulTerminalModesOffset;
    ULONG ulDevSpecificSize;
    ULONG ulDevSpecificOffset;
} LINE_DEV_STATUS, *PLINE_DEV_STATUS;

typedef struct _LINE_ADDRESS_CAPS {
    ULONG ulTotalSize;
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG ulLineDeviceID;
    ULONG ulAddressSize;
    ULONG ulAddressOffset;
    ULONG ulDevSpecificSize;
    ULONG ulDevSpecificOffset;
    ULONG ulAddressSharing; // LINEADDRESSSHARING_*
    ULONG ulAddressStates;  // LINEADDRESSSTATE_*
    ULONG ulCallInfoStates; // LINECALLINFOSTATE_*
    ULONG ulCallerIDFlags;  // LINECALLPARTYID_*, as are the four below
    ULONG ulCalledIDFlags;
    ULONG ulConnectedIDFlags;
    ULONG ulRedirectionIDFlags;
    ULONG ulRedirectingIDFlags;
    ULONG ulCallStates;    // LINECALLSTATE_*
    ULONG ulDialToneModes; // LINEDIALTONEMODE_*
    ULONG ulBusyModes;     // LINEBUSYMODE_*
    ULONG ulSpecialInfo;   // LINESPECIALINFO_*
    ULONG ulDisconnectModes;
    ULONG ulMaxNumActiveCalls;
    ULONG ulMaxNumOnHoldCalls;
    ULONG ulMaxNumOnHoldPendingCalls;
    ULONG ulMaxNumConference;
    ULONG ulMaxNumTransConf;
    ULONG ulAddrCapFlags; // LINEADDRCAPFLAGS_*
    ULONG ulCallFeatures; // LINECALLFEATURE_*
    ULONG ulRemoveFromConfCaps;
    ULONG ulRemoveFromConfState;
    ULONG ulTransferModes;
    ULONG ulParkModes;
    ULONG ulForwardModes;
    ULONG ulMaxForwardEntries;
    ULONG ulMaxSpecificEntries;
    ULONG ulMinFwdNumRings;
    ULONG ulMaxFwdNumRings;
    ULONG ulMaxCallCompletions;
    ULONG ulCallCompletionConds;
    ULONG ulCallCompletionModes;
    ULONG ulNumCompletionMessages;
    ULONG ulCompletionMsgTextEntrySize;
    ULONG ulCompletionMsgTextSize;
    ULONG ulCompletionMsgTextOffset;
} LINE_ADDRESS_CAPS, *PLINE_ADDRESS_CAPS;

typedef struct _LINE_ADDRESS_STATUS {
    ULONG ulTotalSize;
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG ulNumInUse;
    ULONG ulNumActiveCalls;
    ULONG ulNumOnHoldCalls;
    ULONG ulNumOnHoldPendCalls;
    ULONG ulAddressFeatures; // LINEADDRFEATURE_*
    ULONG ulNumRingsNoAnswer;
    ULONG ulForwardNumEntries;
    ULONG ulForwardSize;
    ULONG ulForwardOffset;
    ULONG ulTerminalModesSize;
    ULONG ulTerminalModesOffset;
    ULONG ulDevSpecificSize;
    ULONG ulDevSpecificOffset;
} LINE_ADDRESS_STATUS, *PLINE_ADDRESS_STATUS;

typedef struct _LINE_CALL_INFO {
    ULONG ulTotalSize;
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG hLine;
    ULONG ulLineDeviceID;
    ULONG ulAddressID;
    ULONG ulBearerMode; // LINEBEARERMODE_*
    ULONG ulRate;       // bit/s
    ULONG ulMediaMode;  // LINEMEDIAMODE_*
    ULONG ulAppSpecific;
    ULONG ulCallID;
    ULONG ulRelatedCallID;
    ULONG ulCallParamFlags; // LINECALLPARAMFLAGS_*
    ULONG ulCallStates;     // LINECALLSTATE_*
    ULONG ulMonitorDigitModes;
    ULONG ulMonitorMediaModes;
    LINE_DIAL_PARAMS DialParams;
    ULONG ulOrigin; // LINECALLORIGIN_*
    ULONG ulReason; // LINECALLREASON_*
    ULONG ulCompletionID;
    ULONG ulNumOwners;
    ULONG ulNumMonitors;
    ULONG ulCountryCode;
    ULONG ulTrunk;
    ULONG ulCallerIDFlags;
    ULONG ulCallerIDSize;
    ULONG ulCallerIDOffset;
    ULONG ulCallerIDNameSize;
    ULONG ulCallerIDNameOffset;
    ULONG ulCalledIDFlags;
    ULONG ulCalledIDSize;
    ULONG ulCalledIDOffset;
    ULONG ulCalledIDNameSize;
    ULONG ulCalledIDNameOffset;
    ULONG ulConnectedIDFlags;
    ULONG ulConnectedIDSize;
    ULONG ulConnectedIDOffset;
    ULONG ulConnectedIDNameSize;
    ULONG ulConnectedIDNameOffset;
    ULONG ulRedirectionIDFlags;
    ULONG ulRedirectionIDSize;
    ULONG ulRedirectionIDOffset;
    ULONG ulRedirectionIDNameSize;
    ULONG ulRedirectionIDNameOffset;
    ULONG ulRedirectingIDFlags;
    ULONG ulRedirectingIDSize;
    ULONG ulRedirectingIDOffset;
    ULONG ulRedirectingIDNameSize;
    ULONG ulRedirectingIDNameOffset;
    ULONG ulAppNameSize;
    ULONG ulAppNameOffset;
    ULONG ulDisplayableAddressSize;
    ULONG ulDisplayableAddressOffset;
    ULONG ulCalledPartySize;
    ULONG ulCalledPartyOffset;
    ULONG ulCommentSize;
    ULONG ulCommentOffset;
    ULONG ulDisplaySize;
    ULONG ulDisplayOffset;
    ULONG ulUserUserInfoSize;
    ULONG ulUserUserInfoOffset;
    ULONG ulHighLevelCompSize;
    ULONG ulHighLevelCompOffset;
    ULONG ulLowLevelCompSize;
    ULONG ulLowLevelCompOffset;
    ULONG ulChargingInfoSize;
    ULONG ulChargingInfoOffset;
    ULONG ulTerminalModesSize;
    ULONG ulTerminalModesOffset;
    ULONG ulDevSpecificSize;
    ULONG ulDevSpecificOffset;
} LINE_CALL_INFO, *PLINE_CALL_INFO;

typedef struct _LINE_CALL_PARAMS {
    ULONG ulTotalSize;
    ULONG ulBearerMode; // LINEBEARERMODE_*
    ULONG ulMinRate;    // bit/s
    ULONG ulMaxRate;
    ULONG ulMediaMode;      // LINEMEDIAMODE_*
    ULONG ulCallParamFlags; // LINECALLPARAMFLAGS_*
    ULONG ulAddressMode;    // LINEADDRESSMODE_*
    ULONG ulAddressID;
    LINE_DIAL_PARAMS DialParams;
    ULONG ulOrigAddressSize;
    ULONG ulOrigAddressOffset;
    ULONG ulDisplayableAddressSize;
    ULONG ulDisplayableAddressOffset;
    ULONG ulCalledPartySize;
    ULONG ulCalledPartyOffset;
    ULONG ulCommentSize;
    ULONG ulCommentOffset;
    ULONG ulUserUserInfoSize;
    ULONG ulUserUserInfoOffset;
    ULONG ulHighLevelCompSize;
    ULONG ulHighLevelCompOffset;
    ULONG ulLowLevelCompSize;
    ULONG ulLowLevelCompOffset;
    ULONG ulDevSpecificSize;
    ULONG ulDevSpecificOffset;
} LINE_CALL_PARAMS, *PLINE_CALL_PARAMS;

typedef struct _LINE_CALL_STATUS {
    ULONG ulTotalSize;
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG ulCallState; // LINECALLSTATE_*
    ULONG ulCallStateMode;
    ULONG ulCallPrivilege; // LINECALLPRIVILEGE_*
    ULONG ulCallFeatures;  // LINECALLFEATURE_*
    ULONG ulDevSpecificSize;
    ULONG ulDevSpecificOffset;
} LINE_CALL_STATUS, *PLINE_CALL_STATUS;

typedef struct _LINE_EXTENSION_ID {
    ULONG ulExtensionID0;
    ULONG ulExtensionID1;
    ULONG ulExtensionID2;
    ULONG ulExtensionID3;
} LINE_EXTENSION_ID, *PLINE_EXTENSION_ID;

typedef struct _VAR_STRING {
    ULONG ulTotalSize;
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG ulStringFormat; // STRINGFORMAT_*
    ULONG ulStringSize;
    ULONG ulStringOffset;
} VAR_STRING, *PVAR_STRING;

static_assert(sizeof(LINE_DIAL_PARAMS) == 16, "LINE_DIAL_PARAMS is 16 bytes");

static_assert(sizeof(LINE_DEV_CAPS) == 236, "LINE_DEV_CAPS is 236 bytes in TAPI 1.3");
static_assert(offsetof(LINE_DEV_CAPS, ulPermanentLineID) == 28, "LINE_DEV_CAPS.ulPermanentLineID");
static_assert(offsetof(LINE_DEV_CAPS, ulStringFormat) == 40, "LINE_DEV_CAPS.ulStringFormat");
static_assert(offsetof(LINE_DEV_CAPS, ulMediaModes) == 60, "LINE_DEV_CAPS.ulMediaModes");
static_assert(offsetof(LINE_DEV_CAPS, ulAnswerMode) == 120, "LINE_DEV_CAPS.ulAnswerMode");
static_assert(offsetof(LINE_DEV_CAPS, ulLineStates) == 128, "LINE_DEV_CAPS.ulLineStates");
static_assert(offsetof(LINE_DEV_CAPS, MinDialParams) == 156, "LINE_DEV_CAPS.MinDialParams");
static_assert(offsetof(LINE_DEV_CAPS, ulDevSpecificOffset) == 232,
              "LINE_DEV_CAPS.ulDevSpecificOffset");

static_assert(sizeof(LINE_DEV_STATUS) == 76, "LINE_DEV_STATUS is 76 bytes in TAPI 1.3");
static_assert(offsetof(LINE_DEV_STATUS, ulLineFeatures) == 32, "LINE_DEV_STATUS.ulLineFeatures");
static_assert(offsetof(LINE_DEV_STATUS, ulRingMode) == 40, "LINE_DEV_STATUS.ulRingMode");
static_assert(offsetof(LINE_DEV_STATUS, ulDevStatusFlags) == 56,
              "LINE_DEV_STATUS.ulDevStatusFlags");

static_assert(sizeof(LINE_ADDRESS_CAPS) == 176, "LINE_ADDRESS_CAPS is 176 bytes in TAPI 1.3");
static_assert(offsetof(LINE_ADDRESS_CAPS, ulAddressSharing) == 32,
              "LINE_ADDRESS_CAPS.ulAddressSharing");
static_assert(offsetof(LINE_ADDRESS_CAPS, ulCallStates) == 64, "LINE_ADDRESS_CAPS.ulCallStates");
static_assert(offsetof(LINE_ADDRESS_CAPS, ulAddrCapFlags) == 104,
              "LINE_ADDRESS_CAPS.ulAddrCapFlags");
static_assert(offsetof(LINE_ADDRESS_CAPS, ulRemoveFromConfCaps) == 112,
              "LINE_ADDRESS_CAPS.ulRemoveFromConfCaps");
static_assert(offsetof(LINE_ADDRESS_CAPS, ulCompletionMsgTextOffset) == 172,
              "LINE_ADDRESS_CAPS.ulCompletionMsgTextOffset");

static_assert(sizeof(LINE_ADDRESS_STATUS) == 64, "LINE_ADDRESS_STATUS is 64 bytes");
static_assert(offsetof(LINE_ADDRESS_STATUS, ulAddressFeatures) == 28,
              "LINE_ADDRESS_STATUS.ulAddressFeatures");
static_assert(offsetof(LINE_ADDRESS_STATUS, ulNumRingsNoAnswer) == 32,
              "LINE_ADDRESS_STATUS.ulNumRingsNoAnswer");

static_assert(sizeof(LINE_CALL_INFO) == 296, "LINE_CALL_INFO is 296 bytes in TAPI 1.3");
static_assert(offsetof(LINE_CALL_INFO, hLine) == 12, "LINE_CALL_INFO.hLine");
static_assert(offsetof(LINE_CALL_INFO, ulAppSpecific) == 36, "LINE_CALL_INFO.ulAppSpecific");
static_assert(offsetof(LINE_CALL_INFO, DialParams) == 64, "LINE_CALL_INFO.DialParams");
static_assert(offsetof(LINE_CALL_INFO, ulOrigin) == 80, "LINE_CALL_INFO.ulOrigin");
static_assert(offsetof(LINE_CALL_INFO, ulCallerIDFlags) == 108, "LINE_CALL_INFO.ulCallerIDFlags");
static_assert(offsetof(LINE_CALL_INFO, ulCommentSize) == 232, "LINE_CALL_INFO.ulCommentSize");
static_assert(offsetof(LINE_CALL_INFO, ulDevSpecificOffset) == 292,
              "LINE_CALL_INFO.ulDevSpecificOffset");

static_assert(sizeof(LINE_CALL_PARAMS) == 112, "LINE_CALL_PARAMS is 112 bytes in TAPI 1.3");
static_assert(offsetof(LINE_CALL_PARAMS, DialParams) == 32, "LINE_CALL_PARAMS.DialParams");
static_assert(offsetof(LINE_CALL_PARAMS, ulCommentSize) == 72, "LINE_CALL_PARAMS.ulCommentSize");
static_assert(offsetof(LINE_CALL_PARAMS, ulCommentOffset) == 76,
              "LINE_CALL_PARAMS.ulCommentOffset");
static_assert(offsetof(LINE_CALL_PARAMS, ulDevSpecificOffset) == 108,
              "LINE_CALL_PARAMS.ulDevSpecificOffset");

static_assert(sizeof(LINE_CALL_STATUS) == 36, "LINE_CALL_STATUS is 36 bytes");
static_assert(offsetof(LINE_CALL_STATUS, ulCallState) == 12, "LINE_CALL_STATUS.ulCallState");

static_assert(sizeof(LINE_EXTENSION_ID) == 16, "LINE_EXTENSION_ID is 16 bytes");
static_assert(sizeof(VAR_STRING) == 24, "VAR_STRING is 24 bytes");

// ---- Event --------------------------------------------------------------------

// Buffer of NDIS_STATUS_TAPI_INDICATION.
typedef struct _NDIS_TAPI_EVENT {
    HTAPI_LINE htLine;
    HTAPI_CALL htCall;
    ULONG ulMsg; // LINE_* message
    ULONG ulParam1;
    ULONG ulParam2;
    ULONG ulParam3;
} NDIS_TAPI_EVENT, *PNDIS_TAPI_EVENT;

static_assert(sizeof(NDIS_TAPI_EVENT) == 24, "NDIS_TAPI_EVENT is 24 bytes");
static_assert(offsetof(NDIS_TAPI_EVENT, ulParam2) == 16, "NDIS_TAPI_EVENT.ulParam2");

// ---- Requests, one per OID_TAPI_* code ----------------------------------------------
// Each lies at the start of the information buffer. A record ending in a
// one-byte array is followed by its variable part, of the size it states.

typedef struct _NDIS_TAPI_ACCEPT {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulUserUserInfoSize;
    UCHAR UserUserInfo[1];
} NDIS_TAPI_ACCEPT, *PNDIS_TAPI_ACCEPT;

typedef struct _NDIS_TAPI_ANSWER {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulUserUserInfoSize;
    UCHAR UserUserInfo[1];
} NDIS_TAPI_ANSWER, *PNDIS_TAPI_ANSWER;

typedef struct _NDIS_TAPI_CLOSE {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
} NDIS_TAPI_CLOSE, *PNDIS_TAPI_CLOSE;

typedef struct _NDIS_TAPI_CLOSE_CALL {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
} NDIS_TAPI_CLOSE_CALL, *PNDIS_TAPI_CLOSE_CALL;

typedef struct _NDIS_TAPI_CONDITIONAL_MEDIA_DETECTION {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulMediaModes;
    LINE_CALL_PARAMS LineCallParams;
} NDIS_TAPI_CONDITIONAL_MEDIA_DETECTION, *PNDIS_TAPI_CONDITIONAL_MEDIA_DETECTION;

typedef struct _NDIS_TAPI_CONFIG_DIALOG {
    ULONG ulRequestID;
    ULONG ulDeviceID;
    ULONG ulDeviceClassSize;
    ULONG ulDeviceClassOffset;
    ULONG ulLibraryNameTotalSize;
    ULONG ulLibraryNameNeededSize; // out
    CHAR szLibraryName[1];         // out
} NDIS_TAPI_CONFIG_DIALOG, *PNDIS_TAPI_CONFIG_DIALOG;

typedef struct _NDIS_TAPI_DEV_SPECIFIC {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulAddressID;
    HDRV_CALL hdCall;
    ULONG ulParamsSize;
    UCHAR Params[1];
} NDIS_TAPI_DEV_SPECIFIC, *PNDIS_TAPI_DEV_SPECIFIC;

typedef struct _NDIS_TAPI_DIAL {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulDestAddressSize;
    CHAR szDestAddress[1];
} NDIS_TAPI_DIAL, *PNDIS_TAPI_DIAL;

typedef struct _NDIS_TAPI_DROP {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulUserUserInfoSize;
    UCHAR UserUserInfo[1];
} NDIS_TAPI_DROP, *PNDIS_TAPI_DROP;

typedef struct _NDIS_TAPI_GET_ADDRESS_CAPS {
    ULONG ulRequestID;
    ULONG ulDeviceID;
    ULONG ulAddressID;
    ULONG ulExtVersion;
    LINE_ADDRESS_CAPS LineAddressCaps; // out
} NDIS_TAPI_GET_ADDRESS_CAPS, *PNDIS_TAPI_GET_ADDRESS_CAPS;

typedef struct _NDIS_TAPI_GET_ADDRESS_ID {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulAddressID; // out
    ULONG ulAddressMode;
    ULONG ulAddressSize;
    CHAR szAddress[1];
} NDIS_TAPI_GET_ADDRESS_ID, *PNDIS_TAPI_GET_ADDRESS_ID;

typedef struct _NDIS_TAPI_GET_ADDRESS_STATUS {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulAddressID;
    LINE_ADDRESS_STATUS LineAddressStatus; // out
} NDIS_TAPI_GET_ADDRESS_STATUS, *PNDIS_TAPI_GET_ADDRESS_STATUS;

typedef struct _NDIS_TAPI_GET_CALL_ADDRESS_ID {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulAddressID; // out
} NDIS_TAPI_GET_CALL_ADDRESS_ID, *PNDIS_TAPI_GET_CALL_ADDRESS_ID;

typedef struct _NDIS_TAPI_GET_CALL_INFO {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    LINE_CALL_INFO LineCallInfo; // out
} NDIS_TAPI_GET_CALL_INFO, *PNDIS_TAPI_GET_CALL_INFO;

typedef struct _NDIS_TAPI_GET_CALL_STATUS {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    LINE_CALL_STATUS LineCallStatus; // out
} NDIS_TAPI_GET_CALL_STATUS, *PNDIS_TAPI_GET_CALL_STATUS;

typedef struct _NDIS_TAPI_GET_DEV_CAPS {
    ULONG ulRequestID;
    ULONG ulDeviceID;
    ULONG ulExtVersion;
    LINE_DEV_CAPS LineDevCaps; // out
} NDIS_TAPI_GET_DEV_CAPS, *PNDIS_TAPI_GET_DEV_CAPS;

typedef struct _NDIS_TAPI_GET_DEV_CONFIG {
    ULONG ulRequestID;
    ULONG ulDeviceID;
    ULONG ulDeviceClassSize;
    ULONG ulDeviceClassOffset; // from the start of the request
    VAR_STRING DeviceConfig;   // out
} NDIS_TAPI_GET_DEV_CONFIG, *PNDIS_TAPI_GET_DEV_CONFIG;

typedef struct _NDIS_TAPI_GET_EXTENSION_ID {
    ULONG ulRequestID;
    ULONG ulDeviceID;
    LINE_EXTENSION_ID LineExtensionID; // out
} NDIS_TAPI_GET_EXTENSION_ID, *PNDIS_TAPI_GET_EXTENSION_ID;

typedef struct _NDIS_TAPI_GET_ID {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulAddressID;
    HDRV_CALL hdCall;
    ULONG ulSelect; // LINECALLSELECT_*
    ULONG ulDeviceClassSize;
    ULONG ulDeviceClassOffset; // from the start of the request
    VAR_STRING DeviceID;       // out
} NDIS_TAPI_GET_ID, *PNDIS_TAPI_GET_ID;

typedef struct _NDIS_TAPI_GET_LINE_DEV_STATUS {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    LINE_DEV_STATUS LineDevStatus; // out
} NDIS_TAPI_GET_LINE_DEV_STATUS, *PNDIS_TAPI_GET_LINE_DEV_STATUS;

// Read byte-packed: the call parameters follow the one-byte flag directly, at
// byte 25, so they are not 4-byte aligned. Reach them through the request
// (pRequest->LineCallParams.ulCommentSize), never through a PLINE_CALL_PARAMS.
// The dial string lies at ulDestAddressOffset from the start of the request;
// the call parameters' own offsets count from the start of LineCallParams.
#pragma pack(push, 1)
typedef struct _NDIS_TAPI_MAKE_CALL {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    HTAPI_CALL htCall;
    HDRV_CALL hdCall; // out
    ULONG ulDestAddressSize; // dial string's bytes, its terminating zero included
    ULONG ulDestAddressOffset;
    BOOLEAN bUseDefaultLineCallParams; // nonzero: LineCallParams is not to be read
    LINE_CALL_PARAMS LineCallParams;
} NDIS_TAPI_MAKE_CALL, *PNDIS_TAPI_MAKE_CALL;
#pragma pack(pop)

typedef struct _NDIS_TAPI_NEGOTIATE_EXT_VERSION {
    ULONG ulRequestID;
    ULONG ulDeviceID;
    ULONG ulLowVersion;
    ULONG ulHighVersion;
    ULONG ulExtVersion; // out
} NDIS_TAPI_NEGOTIATE_EXT_VERSION, *PNDIS_TAPI_NEGOTIATE_EXT_VERSION;

typedef struct _NDIS_TAPI_OPEN {
    ULONG ulRequestID;
    ULONG ulDeviceID;
    HTAPI_LINE htLine;
    HDRV_LINE hdLine; // out
} NDIS_TAPI_OPEN, *PNDIS_TAPI_OPEN;

typedef struct _NDIS_TAPI_PROVIDER_INITIALIZE {
    ULONG ulRequestID;
    ULONG ulDeviceIDBase; // TAPI's device ID of the provider's first line
    ULONG ulNumLineDevs;  // out
    ULONG ulProviderID;   // out
} NDIS_TAPI_PROVIDER_INITIALIZE, *PNDIS_TAPI_PROVIDER_INITIALIZE;

typedef struct _NDIS_TAPI_PROVIDER_SHUTDOWN {
    ULONG ulRequestID;
} NDIS_TAPI_PROVIDER_SHUTDOWN, *PNDIS_TAPI_PROVIDER_SHUTDOWN;

typedef struct _NDIS_TAPI_SECURE_CALL {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
} NDIS_TAPI_SECURE_CALL, *PNDIS_TAPI_SECURE_CALL;

typedef struct _NDIS_TAPI_SELECT_EXT_VERSION {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulExtVersion;
} NDIS_TAPI_SELECT_EXT_VERSION, *PNDIS_TAPI_SELECT_EXT_VERSION;

typedef struct _NDIS_TAPI_SEND_USER_USER_INFO {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulUserUserInfoSize;
    UCHAR UserUserInfo[1];
} NDIS_TAPI_SEND_USER_USER_INFO, *PNDIS_TAPI_SEND_USER_USER_INFO;

typedef struct _NDIS_TAPI_SET_APP_SPECIFIC {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulAppSpecific;
} NDIS_TAPI_SET_APP_SPECIFIC, *PNDIS_TAPI_SET_APP_SPECIFIC;

typedef struct _NDIS_TAPI_SET_CALL_PARAMS {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulBearerMode;
    ULONG ulMinRate;
    ULONG ulMaxRate;
    BOOLEAN bSetLineDialParams;
    LINE_DIAL_PARAMS LineDialParams;
} NDIS_TAPI_SET_CALL_PARAMS, *PNDIS_TAPI_SET_CALL_PARAMS;

typedef struct _NDIS_TAPI_SET_DEFAULT_MEDIA_DETECTION {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulMediaModes;
} NDIS_TAPI_SET_DEFAULT_MEDIA_DETECTION, *PNDIS_TAPI_SET_DEFAULT_MEDIA_DETECTION;

typedef struct _NDIS_TAPI_SET_DEV_CONFIG {
    ULONG ulRequestID;
    ULONG ulDeviceID;
    ULONG ulDeviceClassSize;
    ULONG ulDeviceClassOffset;
    ULONG ulDeviceConfigSize;
    UCHAR DeviceConfig[1];
} NDIS_TAPI_SET_DEV_CONFIG, *PNDIS_TAPI_SET_DEV_CONFIG;

typedef struct _NDIS_TAPI_SET_MEDIA_MODE {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulMediaMode;
} NDIS_TAPI_SET_MEDIA_MODE, *PNDIS_TAPI_SET_MEDIA_MODE;

typedef struct _NDIS_TAPI_SET_STATUS_MESSAGES {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulLineStates;
    ULONG ulAddressStates;
} NDIS_TAPI_SET_STATUS_MESSAGES, *PNDIS_TAPI_SET_STATUS_MESSAGES;

// Fixed records: the whole size. Records with a variable tail: where it starts.
static_assert(offsetof(NDIS_TAPI_ACCEPT, UserUserInfo) == 12, "NDIS_TAPI_ACCEPT");
static_assert(offsetof(NDIS_TAPI_ANSWER, UserUserInfo) == 12, "NDIS_TAPI_ANSWER");
static_assert(sizeof(NDIS_TAPI_CLOSE) == 8, "NDIS_TAPI_CLOSE");
static_assert(sizeof(NDIS_TAPI_CLOSE_CALL) == 8, "NDIS_TAPI_CLOSE_CALL");
static_assert(offsetof(NDIS_TAPI_CONDITIONAL_MEDIA_DETECTION, LineCallParams) == 12 &&
                  sizeof(NDIS_TAPI_CONDITIONAL_MEDIA_DETECTION) == 124,
              "NDIS_TAPI_CONDITIONAL_MEDIA_DETECTION");
static_assert(offsetof(NDIS_TAPI_CONFIG_DIALOG, szLibraryName) == 24, "NDIS_TAPI_CONFIG_DIALOG");
static_assert(offsetof(NDIS_TAPI_DEV_SPECIFIC, Params) == 20, "NDIS_TAPI_DEV_SPECIFIC");
static_assert(offsetof(NDIS_TAPI_DIAL, szDestAddress) == 12, "NDIS_TAPI_DIAL");
static_assert(offsetof(NDIS_TAPI_DROP, UserUserInfo) == 12, "NDIS_TAPI_DROP");
static_assert(offsetof(NDIS_TAPI_GET_ADDRESS_CAPS, LineAddressCaps) == 16 &&
                  sizeof(NDIS_TAPI_GET_ADDRESS_CAPS) == 192,
              "NDIS_TAPI_GET_ADDRESS_CAPS: 16-byte head, 192 bytes");
static_assert(offsetof(NDIS_TAPI_GET_ADDRESS_ID, szAddress) == 20, "NDIS_TAPI_GET_ADDRESS_ID");
static_assert(offsetof(NDIS_TAPI_GET_ADDRESS_STATUS, LineAddressStatus) == 12 &&
                  sizeof(NDIS_TAPI_GET_ADDRESS_STATUS) == 76,
              "NDIS_TAPI_GET_ADDRESS_STATUS: 12-byte head, 76 bytes");
static_assert(sizeof(NDIS_TAPI_GET_CALL_ADDRESS_ID) == 12, "NDIS_TAPI_GET_CALL_ADDRESS_ID");
static_assert(offsetof(NDIS_TAPI_GET_CALL_INFO, LineCallInfo) == 8 &&
                  sizeof(NDIS_TAPI_GET_CALL_INFO) == 304,
              "NDIS_TAPI_GET_CALL_INFO: 8-byte head, 304 bytes");
static_assert(offsetof(NDIS_TAPI_GET_CALL_STATUS, LineCallStatus) == 8 &&
                  sizeof(NDIS_TAPI_GET_CALL_STATUS) == 44,
              "NDIS_TAPI_GET_CALL_STATUS: 8-byte head, 44 bytes");
static_assert(offsetof(NDIS_TAPI_GET_DEV_CAPS, LineDevCaps) == 12 &&
                  sizeof(NDIS_TAPI_GET_DEV_CAPS) == 248,
              "NDIS_TAPI_GET_DEV_CAPS: 12-byte head, 248 bytes");
static_assert(offsetof(NDIS_TAPI_GET_DEV_CONFIG, DeviceConfig) == 16 &&
                  sizeof(NDIS_TAPI_GET_DEV_CONFIG) == 40,
              "NDIS_TAPI_GET_DEV_CONFIG: 16-byte head, 40 bytes");
static_assert(offsetof(NDIS_TAPI_GET_EXTENSION_ID, LineExtensionID) == 8 &&
                  sizeof(NDIS_TAPI_GET_EXTENSION_ID) == 24,
              "NDIS_TAPI_GET_EXTENSION_ID: 8-byte head, 24 bytes");
static_assert(offsetof(NDIS_TAPI_GET_ID, ulSelect) == 16 &&
                  offsetof(NDIS_TAPI_GET_ID, DeviceID) == 28 && sizeof(NDIS_TAPI_GET_ID) == 52,
              "NDIS_TAPI_GET_ID: 28-byte head, 52 bytes");
static_assert(offsetof(NDIS_TAPI_GET_LINE_DEV_STATUS, LineDevStatus) == 8 &&
                  sizeof(NDIS_TAPI_GET_LINE_DEV_STATUS) == 84,
              "NDIS_TAPI_GET_LINE_DEV_STATUS: 8-byte head, 84 bytes");
static_assert(offsetof(NDIS_TAPI_MAKE_CALL, ulDestAddressOffset) == 20, "NDIS_TAPI_MAKE_CALL");
static_assert(offsetof(NDIS_TAPI_MAKE_CALL, bUseDefaultLineCallParams) == 24,
              "NDIS_TAPI_MAKE_CALL.bUseDefaultLineCallParams");
static_assert(offsetof(NDIS_TAPI_MAKE_CALL, LineCallParams) == 25,
              "NDIS_TAPI_MAKE_CALL: call parameters at byte 25");
static_assert(sizeof(NDIS_TAPI_MAKE_CALL) == 137, "NDIS_TAPI_MAKE_CALL is 137 bytes, byte-packed");
static_assert(sizeof(NDIS_TAPI_NEGOTIATE_EXT_VERSION) == 20, "NDIS_TAPI_NEGOTIATE_EXT_VERSION");
static_assert(offsetof(NDIS_TAPI_OPEN, hdLine) == 12 && sizeof(NDIS_TAPI_OPEN) == 16,
              "NDIS_TAPI_OPEN");
static_assert(sizeof(NDIS_TAPI_PROVIDER_INITIALIZE) == 16, "NDIS_TAPI_PROVIDER_INITIALIZE");
static_assert(sizeof(NDIS_TAPI_PROVIDER_SHUTDOWN) == 4, "NDIS_TAPI_PROVIDER_SHUTDOWN");
static_assert(sizeof(NDIS_TAPI_SECURE_CALL) == 8, "NDIS_TAPI_SECURE_CALL");
static_assert(sizeof(NDIS_TAPI_SELECT_EXT_VERSION) == 12, "NDIS_TAPI_SELECT_EXT_VERSION");
static_assert(offsetof(NDIS_TAPI_SEND_USER_USER_INFO, UserUserInfo) == 12,
              "NDIS_TAPI_SEND_USER_USER_INFO");
static_assert(sizeof(NDIS_TAPI_SET_APP_SPECIFIC) == 12, "NDIS_TAPI_SET_APP_SPECIFIC");
static_assert(offsetof(NDIS_TAPI_SET_CALL_PARAMS, LineDialParams) == 24 &&
                  sizeof(NDIS_TAPI_SET_CALL_PARAMS) == 40,
              "NDIS_TAPI_SET_CALL_PARAMS");
static_assert(sizeof(NDIS_TAPI_SET_DEFAULT_MEDIA_DETECTION) == 12,
              "NDIS_TAPI_SET_DEFAULT_MEDIA_DETECTION");
static_assert(offsetof(NDIS_TAPI_SET_DEV_CONFIG, DeviceConfig) == 20, "NDIS_TAPI_SET_DEV_CONFIG");
static_assert(sizeof(NDIS_TAPI_SET_MEDIA_MODE) == 12, "NDIS_TAPI_SET_MEDIA_MODE");
static_assert(sizeof(NDIS_TAPI_SET_STATUS_MESSAGES) == 16, "NDIS_TAPI_SET_STATUS_MESSAGES");

#ifdef __cplusplus
}
#endif
