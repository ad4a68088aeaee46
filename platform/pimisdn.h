// The ISDN driver's contract (Pimisdnd.sys): its device, the one I/O control
// code that carries every command, and the packed command block ISDN_CMD with
// its command classes, command codes and message codes.
#pragma once

#include "ntkernel.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Device and transport -----------------------------------------------------

// 16 characters: a counted string of 32 bytes, 34 with the terminating NUL.
#define PIMISDN_DEVICE_NAME u"\\Device\\PIMISDND"
static_assert(sizeof(PIMISDN_DEVICE_NAME) == 34, "device name is 32 bytes plus NUL");

#define FILE_DEVICE_PIMISDN 0x8001 // a vendor device type
#define PIMISDN_FUNCTION_COMMAND 0x801

// Every command and every read: input buffer = output buffer = the block.
#define IOCTL_PIMISDN_COMMAND 0x80012004
static_assert(CTL_CODE(FILE_DEVICE_PIMISDN, PIMISDN_FUNCTION_COMMAND, METHOD_BUFFERED,
                       FILE_ANY_ACCESS) == IOCTL_PIMISDN_COMMAND,
              "the command control code is buffered, any access");

// ---- Command block --------------------------------------------------------------

#define ISDN_CMD_SIZE 207       // call-control commands
#define ISDN_DATA_CMD_SIZE 2255 // sending data and reading messages
#define ISDN_CMD_HEAD_SIZE 206  // bytes both forms share, up to data
#define ISDN_DATA_ROOM 2049     // data part of the data form
#define ISDN_MAX_DATA 2048      // data bytes a send or a read may carry
#define ISDN_NUMBER_SIZE 33     // local_address and called_number, NUL included
#define ISDN_MAX_DIGITS 32      // characters before the NUL

// The fields both forms share, in wire order. The ISDN driver writes its answer
// over the same bytes; every byte a command does not fill goes out as zero.
#define ISDN_CMD_HEAD                                                                              \
    UCHAR command;                          /* class: ISDN_CLASS_* */                              \
    UCHAR code;                             /* ISDN_CODE_* going in; APP_* after a read */         \
    ULONG status;                           /* 0 = success; the ISDN driver writes it */           \
    UCHAR hCom;                             /* handle of the call or listen, 1..16 */              \
    UCHAR reserved1;                                                                               \
    UCHAR call_options[4];                  /* sent as zero */                                     \
    UCHAR reserved2[124];                                                                          \
    CHAR local_address[ISDN_NUMBER_SIZE];   /* digits; listen adds "*" and subaddress */           \
    CHAR called_number[ISDN_NUMBER_SIZE];   /* calling number in APP_CONN_IN */                    \
    UCHAR cause;                            /* clearing cause in APP_CLEAR_IN */                   \
    UCHAR reserved3;                                                                               \
    USHORT data_length;                     /* bytes in data; on a read, the room */

#pragma pack(push, 1)

// The short form: call, call response, clear, clear response, listen, cancel.
typedef struct _ISDN_CMD {
    ISDN_CMD_HEAD
    UCHAR data[1]; // always 0
} ISDN_CMD, *PISDN_CMD;

// The data form: send data and read a message.
typedef struct _ISDN_DATA_CMD {
    ISDN_CMD_HEAD
    UCHAR data[ISDN_DATA_ROOM]; // ISDN_MAX_DATA of them used
} ISDN_DATA_CMD, *PISDN_DATA_CMD;

#pragma pack(pop)

static_assert(sizeof(ISDN_CMD) == ISDN_CMD_SIZE, "ISDN_CMD is 207 bytes");
static_assert(sizeof(ISDN_DATA_CMD) == ISDN_DATA_CMD_SIZE, "ISDN_DATA_CMD is 2255 bytes");
static_assert(offsetof(ISDN_CMD, command) == 0, "ISDN_CMD.command");
static_assert(offsetof(ISDN_CMD, code) == 1, "ISDN_CMD.code");
static_assert(offsetof(ISDN_CMD, status) == 2, "ISDN_CMD.status");
static_assert(offsetof(ISDN_CMD, hCom) == 6, "ISDN_CMD.hCom");
static_assert(offsetof(ISDN_CMD, reserved1) == 7, "ISDN_CMD.reserved1");
static_assert(offsetof(ISDN_CMD, call_options) == 8, "ISDN_CMD.call_options");
static_assert(offsetof(ISDN_CMD, reserved2) == 12, "ISDN_CMD.reserved2");
static_assert(offsetof(ISDN_CMD, local_address) == 136, "ISDN_CMD.local_address");
static_assert(offsetof(ISDN_CMD, called_number) == 169, "ISDN_CMD.called_number");
static_assert(offsetof(ISDN_CMD, cause) == 202, "ISDN_CMD.cause");
static_assert(offsetof(ISDN_CMD, reserved3) == 203, "ISDN_CMD.reserved3");
static_assert(offsetof(ISDN_CMD, data_length) == 204, "ISDN_CMD.data_length");
static_assert(offsetof(ISDN_CMD, data) == ISDN_CMD_HEAD_SIZE, "ISDN_CMD.data");
static_assert(offsetof(ISDN_DATA_CMD, status) == 2, "ISDN_DATA_CMD.status");
static_assert(offsetof(ISDN_DATA_CMD, hCom) == 6, "ISDN_DATA_CMD.hCom");
static_assert(offsetof(ISDN_DATA_CMD, called_number) == 169, "ISDN_DATA_CMD.called_number");
static_assert(offsetof(ISDN_DATA_CMD, cause) == 202, "ISDN_DATA_CMD.cause");
static_assert(offsetof(ISDN_DATA_CMD, data_length) == 204, "ISDN_DATA_CMD.data_length");
static_assert(offsetof(ISDN_DATA_CMD, data) == ISDN_CMD_HEAD_SIZE, "ISDN_DATA_CMD.data");

// ---- Command classes (command) ------------------------------------------------------

#define ISDN_CLASS_CONTROL 1 // call control and data
#define ISDN_CLASS_READ 2    // read the next message for a handle
#define ISDN_CLASS_CANCEL 6

// ---- Command codes (code, with their class) -------------------------------------------

#define ISDN_CODE_CALL 0x41        // 'A', control: place a call; returns its hCom
#define ISDN_CODE_CALL_RESP 0x42   // 'B', control: accept an incoming call
#define ISDN_CODE_CLEAR 0x43       // 'C', control: clear a call
#define ISDN_CODE_CLEAR_RESP 0x44  // 'D', control: answer the network's clearing
#define ISDN_CODE_SEND 0x5A        // 'Z', control, data form: send one frame
#define ISDN_CODE_LISTEN 1         // control: listen for calls; returns its hCom
#define ISDN_CODE_CANCEL_LISTEN 1  // cancel: end the listen on hCom
#define ISDN_CODE_READ 0           // read, data form

// ---- Message codes (code after a successful read) ------------------------------------

#define APP_FLOW_ON 3       // sending on the call may resume
#define APP_FLOW_OFF 4      // sending on the call must stop
#define APP_CONN_IN 0x61    // 'a', on the listen: new call in hCom, calling number in called_number
#define APP_CONN_CO 0x62    // 'b': the call is connected
#define APP_CLEAR_IN 0x63   // 'c': the network clears the call; see cause
#define APP_CLEAR_CO 0x64   // 'd': the clearing is confirmed
#define APP_DATA_IN 0x7A    // 'z': a frame in data, data_length bytes

// ---- Status and handles -----------------------------------------------------------------

#define ISDN_STATUS_SUCCESS 0

#define ISDN_HCOM_MIN 1
#define ISDN_HCOM_MAX 16
#define ISDN_HCOM_NONE 0xFF // stored when a context has no handle

#ifdef __cplusplus
}
#endif
