/*
 * dtucentre: a data service centre for GPRS data terminals, as a library.
 *
 * Terminals reach the centre over UDP and name themselves by an 11-character
 * ID.  The library owns one UDP socket and a table of up to 500 terminals; the
 * host calls the plain C functions below and may replace the built-in session
 * handlers with callbacks.  The library runs no threads of its own.
 *
 * Conventions of this interface
 *  1. Results are ints.  Server, table, session, send and address operations
 *     give 0 for success and -1 for failure (queries give the value asked
 *     for; the close-all operations always give 0).  Parameter operations give
 *     1 for success and 0 for failure; ClearParam always gives 0.
 *  2. Integers inside UserInfo and DataRecord are in the machine's
 *     (little-endian) order.  Addresses and ports in UserInfo, send_cmd,
 *     send_data, DoUpdateParam and DoReadParam are in host byte order; the
 *     filter-list, custom-IP and GetCurrentIP addresses are 32-bit IPv4 values
 *     in network byte order (first octet first in memory).  Every number on
 *     the wire is big-endian.
 *  3. Message buffers are owned by the caller and their size is never passed.
 *     The longest text written is the start banner, at most
 *     DTU_MAX_BANNER_BYTES bytes with its NUL; do_read_proc writes at most
 *     DTU_MAX_RECEIVE_TEXT_BYTES; the close line is 32 bytes plus the length
 *     of the ID given.  Texts partly in Chinese are GBK-encoded.
 *  4. Threads.  The library runs no thread of its own; every call runs on its
 *     caller's thread.  Each function below is marked with what may run
 *     beside it:
 *       [locked]   takes the server lock (recursive, lives as long as the
 *                  process): safe from any thread between a start and the
 *                  next stop, beside every other [locked] or [any] call.
 *       [any]      safe from any thread at any time (the callback setters,
 *                  the queries of fixed values, the sends and the wire tap's
 *                  reports).
 *       [host]     takes no lock and touches shared state: the host makes
 *                  these calls from one thread at a time, and not while
 *                  another thread is inside the library.
 *       [alone]    start and stop: no other call of the library may run.
 *  5. Callbacks run on the thread that called do_read_proc, with the server
 *     lock held.  They may call every function of this header except
 *     start_gprs_server and stop_gprs_server.
 *  6. Records cross the boundary by value: the library keeps no pointer to a
 *     caller's buffer after a call returns.
 *  7. Exported functions use the C calling convention (DTU_CALL) and plain,
 *     undecorated names.
 *
 * The host's duties
 *  - The host must follow every start_gprs_server, successful or not, with
 *    one stop_gprs_server, and must not stop while another of its threads is
 *    inside the library.
 *  - The host must call the [locked] operations only between a start and
 *    the next stop.
 *  - The host must pass message buffers large enough for the texts of
 *    convention 3, and a DataRecord of at least 1059 bytes.
 *  - A callback must not wait for another thread that takes the server lock,
 *    and must not keep the UserInfo pointer it is given.
 *  - The host must read GetParam on the thread that runs do_read_proc,
 *    between two of its calls: it reads the reply that do_read_proc decoded
 *    last.
 *  - A wire tap or datagram tap must not call the library.
 */
#ifndef DTUCENTRE_H
#define DTUCENTRE_H

#include <stddef.h>
#include <stdint.h>

/* DTUCENTRE_BUILDING is defined while the library itself is compiled;
 * DTUCENTRE_STATIC by programs that link its objects statically. */
#if defined(_WIN32)
#  if defined(DTUCENTRE_BUILDING)
#    define DTU_API __declspec(dllexport)
#  elif defined(DTUCENTRE_STATIC)
#    define DTU_API
#  else
#    define DTU_API __declspec(dllimport)
#  endif
#  define DTU_CALL __cdecl
#else
#  if defined(DTUCENTRE_BUILDING)
#    define DTU_API __attribute__((visibility("default")))
#  else
#    define DTU_API
#  endif
#  define DTU_CALL
#endif

#define DTUCENTRE_VERSION_MAJOR 1
#define DTUCENTRE_VERSION_MINOR 0
#define DTUCENTRE_VERSION_PATCH 0

#define DTU_MAX_USERS 500
#define DTU_ID_LENGTH 11
#define DTU_MAX_USER_DATA 1024
#define DTU_MAX_DATAGRAM 1040
/* The start banner lists at most this many local addresses. */
#define DTU_MAX_BANNER_ADDRESSES 8
/* Upper bound of do_read_proc's texts with their NUL: the read error with
 * the longest error number (11 characters), "\r\n" and the NUL. */
#define DTU_MAX_RECEIVE_TEXT_BYTES 51
/* Upper bound of the start banner with its NUL (31 + 11 + 3 + 127 + 2 bytes
 * of text and brackets, a NUL, and 17 bytes per listed address). */
#define DTU_MAX_BANNER_BYTES (175 + 17 * DTU_MAX_BANNER_ADDRESSES)

#ifdef __cplusplus
extern "C" {
#endif

/* One terminal of the user table: 68 bytes, fixed layout. */
typedef struct UserInfo {
    char userId[12];          /*  0: up to 11 characters, NUL-terminated */
    uint32_t peerAddr;        /* 12: source of its last refreshing datagram, host order */
    uint16_t peerPort;        /* 16: its UDP port, host order */
    uint8_t reserved1[2];     /* 18 */
    uint32_t reportedAddr;    /* 20: address stated in its logon frame, host order */
    uint16_t reportedPort;    /* 24: port stated in its logon frame, host order */
    char logonTime[20];       /* 26: "YYYY-mm-dd HH:MM:SS", local time */
    uint8_t updateTime[20];   /* 46: bytes 0-3 seconds since 1970 UTC, little-endian */
    uint8_t status;           /* 66: 1 on line, 0 free or off line */
    uint8_t reserved2;        /* 67 */
} UserInfo;

/* What do_read_proc returns for one datagram.  The fields end at offset
 * 1058; the library never writes byte 1059, so a 1059-byte area suffices. */
typedef struct DataRecord {
    char userId[12];          /*    0: terminal ID, NUL-terminated */
    char recvTime[20];        /*   12: local time of receipt, or empty */
    uint8_t data[1024];       /*   32: user data */
    uint16_t dataLength;      /* 1056: bytes of user data */
    uint8_t dataType;         /* 1058: what arrived, see below */
} DataRecord;

/* DataRecord.dataType */
enum {
    DTU_DATA_NONE = 0,          /* receive error, short datagram, bad frame */
    DTU_DATA_LOGON = 1,
    DTU_DATA_LOGOUT = 2,
    DTU_DATA_INVALID = 4,       /* InvalidCmd report, or any unknown code */
    DTU_DATA_REPLY = 5,
    DTU_DATA_NOT_ONLINE = 6,    /* user data from a terminal not on line */
    DTU_DATA_USER = 9,
    DTU_DATA_PARAM_READ = 11,   /* parameter reply decoded: use GetParam */
    DTU_DATA_PARAM_SET = 13,
    DTU_DATA_ID_REPORT = 19
};

/* Frame codes: byte 1 of every frame.  Below 0x80 a terminal sends them,
 * from 0x80 up the centre does.  Any other code a terminal sends is
 * dispatched as an unknown code (DTU_DATA_INVALID). */
enum {
    DTU_CODE_LOGON = 0x01,
    DTU_CODE_LOGOUT = 0x02,
    DTU_CODE_INVALID_CMD = 0x04,
    DTU_CODE_DATA_REPLY = 0x05,
    DTU_CODE_USER_DATA = 0x09,
    DTU_CODE_PARAM_READ_REPLY = 0x0B,
    DTU_CODE_PARAM_SET_REPLY = 0x0D,
    DTU_CODE_ID_REPORT = 0x13,
    DTU_CODE_LOGON_ACK = 0x81,
    DTU_CODE_LOGOUT_CMD = 0x82,
    DTU_CODE_NOT_LOGGED_ON = 0x83,
    DTU_CODE_INVALID_CMD_REPLY = 0x84,
    DTU_CODE_DATA_ACK = 0x85,
    DTU_CODE_USER_DATA_DOWN = 0x89,
    DTU_CODE_PARAM_READ = 0x8B,
    DTU_CODE_PARAM_SET = 0x8D
};

/* The `kind` of send_cmd and the frame it sends; any other kind sends an
 * InvalidCmdReply (DTU_CODE_INVALID_CMD_REPLY), as DTU_CMD_INVALID_REPLY does. */
enum {
    DTU_CMD_LOGON_ACK = 1,      /* DTU_CODE_LOGON_ACK */
    DTU_CMD_LOGOUT = 2,         /* DTU_CODE_LOGOUT_CMD */
    DTU_CMD_INVALID_REPLY = 4,  /* DTU_CODE_INVALID_CMD_REPLY */
    DTU_CMD_DATA_ACK = 5,       /* DTU_CODE_DATA_ACK */
    DTU_CMD_NOT_LOGGED_ON = 6   /* DTU_CODE_NOT_LOGGED_ON */
};

#if defined(__cplusplus) && __cplusplus >= 201103L
static_assert(sizeof(UserInfo) == 68, "UserInfo is 68 bytes");
static_assert(offsetof(UserInfo, peerAddr) == 12, "UserInfo layout");
static_assert(offsetof(UserInfo, peerPort) == 16, "UserInfo layout");
static_assert(offsetof(UserInfo, reportedAddr) == 20, "UserInfo layout");
static_assert(offsetof(UserInfo, reportedPort) == 24, "UserInfo layout");
static_assert(offsetof(UserInfo, logonTime) == 26, "UserInfo layout");
static_assert(offsetof(UserInfo, updateTime) == 46, "UserInfo layout");
static_assert(offsetof(UserInfo, status) == 66, "UserInfo layout");
static_assert(offsetof(DataRecord, recvTime) == 12, "DataRecord layout");
static_assert(offsetof(DataRecord, data) == 32, "DataRecord layout");
static_assert(offsetof(DataRecord, dataLength) == 1056, "DataRecord layout");
static_assert(offsetof(DataRecord, dataType) == 1058, "DataRecord layout");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(UserInfo) == 68, "UserInfo is 68 bytes");
_Static_assert(offsetof(UserInfo, status) == 66, "UserInfo layout");
_Static_assert(offsetof(DataRecord, dataLength) == 1056, "DataRecord layout");
_Static_assert(offsetof(DataRecord, dataType) == 1058, "DataRecord layout");
#endif

/* Callbacks.  Their results are ignored.  `user` is a temporary record built
 * from the datagram, valid during the call only; `record` is the DataRecord
 * that do_read_proc will return; `ackFlag` is do_read_proc's third argument. */
typedef int(DTU_CALL *UserEventCallback)(UserInfo *user);
typedef int(DTU_CALL *RecvdataCallback)(UserInfo *user, DataRecord *record, int ackFlag);

/* ---- Server control -------------------------------------------------- */

/* [alone] Opens the UDP endpoint on `port` (low 16 bits) in the work mode set last,
 * clears the user table, writes the start banner (or an error text) into
 * `buffer` (may be NULL).  In window-message mode (any mode other than 0 and
 * 1) `window` is the window that receives `message` while a datagram waits;
 * on POSIX it is a DtuNotifier (see below).  0 on success, -1 on failure.
 * Every start, successful or not, is followed by one stop.
 *
 * The work mode at load is window-message mode (2): a host that never calls
 * SetWorkMode and passes a NULL window gets -1 at once, with the buffer
 * holding "\r\nSystem could not be initialized!\r\n".
 *
 * The start banner, with no line break:
 *   "*****" and 26 GBK bytes CE DE CF DF CA FD BE DD B7 FE CE F1 D6 D0 D0 C4
 *   D2 D1 C6 F4 B6 AF B6 CB BF DA ("wireless data service centre started,
 *   port"), then "%d---%s(" with `port` and the host name, then each local
 *   address outside the filter list as "%s  " (dotted, two spaces) and ")";
 *   or, with a custom IP set, "%s)" with that address alone.
 * The texts of a failed start (copied over whatever came before):
 *   "\r\nSystem could not be initialized!\r\n"  written first by every start;
 *                                   stays when the socket layer cannot start
 *                                   or window-message mode has no window
 *   "Error:Coundn't Get Local Host Name\r\n"  the host name is unreadable
 *   "\r\nError:Can't Get Host Name\r\n"        it does not resolve
 *   "*****" GBK C3 BB D3 D0 BF C9 CA B9 D3 C3 B5 C4 "IP" B5 D8 D6 B7 "\r\n"
 *                                   ("no usable IP address") it resolves to
 *                                   no address
 *   "\r\nError:socket() Failed\r\n"
 *   "\r\nError:Bind Server Failed: %d\r\n"      %d: the socket error code
 *   "\r\nError:Init DSC Server Failed\r\n"      window-message set-up failed
 * When switching to mode 0 or 1 fails, the banner stays and the result is
 * -1. */
DTU_API int DTU_CALL start_gprs_server(void *window, unsigned int message, int port, char *buffer);

/* [alone] Closes the endpoint and writes the stopped text (or an error text) into
 * `buffer` (may be NULL).  0, or -1 when the socket layer fails to release.
 * Stopped text: "*****" and GBK CE DE CF DF CA FD BE DD B7 FE CE F1 D6 D0 D0
 * C4 D2 D1 CD A3 D6 B9 ("wireless data service centre stopped") "\r\n".
 * Failure: "Stop Server Error: %d.\r\n" with the socket error code. */
DTU_API int DTU_CALL stop_gprs_server(char *buffer);

/* [host] Stores the work mode for the next start: 0 blocking, 1 non-blocking, any
 * other value window message.  Gives the value stored.  Until it is called
 * the mode is 2, window message. */
DTU_API int DTU_CALL SetWorkMode(int mode);

/* [any] Copies the local host name into `name` (`size` bytes).  0, or -1 with an
 * error text copied into `buffer` when one is given. */
DTU_API int DTU_CALL get_server_name(char *name, int size, char *buffer);

/* [host] Sets the receive buffer of the server socket to `bytes` (1 to
 * DTU_MAX_RECEIVE_BUFFER): at once when a socket is open, and at every later
 * start, in place of the 65,535 bytes a start gives the socket otherwise.  A
 * busy centre wants megabytes here: datagrams that arrive while the buffer is
 * full are dropped by the system before the library sees them.  The system
 * may grant less than asked (Linux caps the size at net.core.rmem_max unless
 * the process may pass that limit, which the library tries first).  Gives
 * the size the open socket has now, in the units asked (Linux's doubled
 * accounting halved), or 0 when no socket is open; -1, with nothing changed,
 * for a size out of range. */
#define DTU_MAX_RECEIVE_BUFFER (1 << 30)
DTU_API int DTU_CALL dtu_set_receive_buffer(int bytes);

/* ---- Local addresses and the banner's filter list ------------------- */

/* [host] Adds an address (network order) to the four-slot filter list; -1 when the
 * list is full, the address is 0, or an entry with the same first two octets
 * is there. */
DTU_API int DTU_CALL AddFilterIP(uint32_t address);
/* [host] Empties the slot that matches `address` by its first two octets (or slot 0
 * for 0); -1 when nothing matches. */
DTU_API int DTU_CALL DelFilterIP(uint32_t address);
/* [host] Slot (0-3) matching `address` by its first two octets, or by value for 0
 * or an empty list; -1 when none. */
DTU_API int DTU_CALL FindFilterIP(uint32_t address);
/* [host] Number of non-empty filter slots, 0 to 4. */
DTU_API int DTU_CALL GetFilterIPCount(void);
/* [host] Value of filter slot `slot`; 0 for an empty slot or a number outside 0-3. */
DTU_API uint32_t DTU_CALL GetIP(int slot);
/* [host] Stores the address to bind at the next start (0: every local address);
 * gives the value stored.  The address is in network order, as it lies in a
 * sockaddr_in: 127.0.0.1 is htonl(0x7F000001), not 0x7F000001 (on a
 * little-endian machine that value names 1.0.0.127).  The banner shows it in
 * dotted form and GetCurrentIP gives the same value back after the start. */
DTU_API uint32_t DTU_CALL SetCustomIP(uint32_t address);
/* [host] The address the last start bound to (network order); 0 for every address. */
DTU_API uint32_t DTU_CALL GetCurrentIP(void);

/* ---- Receiving ------------------------------------------------------- */

/* [locked] Receives one datagram, checks it, dispatches it to the callback of its
 * event and fills `record` (never NULL; bytes 0-1058 only).  0 when a frame
 * was dispatched or a datagram under 16 bytes dropped; -1 on a receive error
 * (text "Error occurred during read,errorcode:%d\r\n"), a rejected frame
 * ("Error packet\r\n"), a Logon of a bad length or an IdReport without its
 * mark.  `message` (may be NULL) receives at most DTU_MAX_RECEIVE_TEXT_BYTES.
 * Even outside the host's duties, a stop while a call is blocked in the
 * receive (work mode 0) wakes that call: it fails with the read error. */
DTU_API int DTU_CALL do_read_proc(DataRecord *record, char *message, int ackFlag);

/* ---- Frames ---------------------------------------------------------- */

/* [any] Sends a 16-byte command frame carrying user->userId (11 bytes) to ip:port.
 * kind (DTU_CMD_*): 1 LogonAck, 2 LogoutCmd, 5 DataAck, 6 NotLoggedOn, any
 * other InvalidCmdReply (low 8 bits count).  0 when sent; -1 when `user` is NULL,
 * no socket is open or the send failed. */
DTU_API int DTU_CALL send_cmd(uint32_t ip, int port, const UserInfo *user, int kind);

/* [any] Sends a UserDataDown frame with `length` (0-1024) payload bytes to ip:port.
 * 0 when sent; -1 for a NULL ID, an oversize payload, a NULL `data` with a
 * non-zero length, no open socket or a failed send. */
DTU_API int DTU_CALL send_data(uint32_t ip, int port, const char *terminalId, const void *data,
                               uint32_t length);

/* ---- User table ------------------------------------------------------ */

/* [locked] Copies the first record holding `userId` (on line or not) to `out`; -1 when
 * an argument is NULL or no record holds the ID. */
DTU_API int DTU_CALL get_user_info(const char *userId, UserInfo *out);
/* [locked] Copies record `index` (0-499) to `out`; -1 for a bad index or NULL `out`. */
DTU_API int DTU_CALL get_user_at(unsigned int index, UserInfo *out);
/* [any] Always 500. */
DTU_API int DTU_CALL get_max_user_amount(void);
/* [locked] Number of records on line. */
DTU_API int DTU_CALL get_online_user_amount(void);
/* [host] Stores a copy of `user` on line in the first free slot; -1 when the table
 * is full (or `user` is NULL).  The ID is not checked. */
DTU_API int DTU_CALL AddOneUser(const UserInfo *user);
/* [host] Zeroes the whole table.  Always 0. */
DTU_API int DTU_CALL DeleteAllUser(void);

/* ---- Callbacks ------------------------------------------------------- */

/* [any] Each setter replaces a slot's handler for good (the built-in ones cannot
 * be put back).  A NULL slot is skipped by the dispatch. */
DTU_API void DTU_CALL SetEvtCALLBACK(UserEventCallback logon, UserEventCallback logout,
                                     RecvdataCallback recvdata, UserEventCallback recvdataReply,
                                     UserEventCallback invalidcmd);
DTU_API void DTU_CALL SetLogonCALLBACK(UserEventCallback logon);
DTU_API void DTU_CALL SetLogoutCALLBACK(UserEventCallback logout);
DTU_API void DTU_CALL SetRecvdataCALLBACK(RecvdataCallback recvdata);
DTU_API void DTU_CALL SetRecvDataReplyCALLBACK(UserEventCallback recvdataReply);
DTU_API void DTU_CALL SetInvalidcmdCALLBACK(UserEventCallback invalidcmd);

/* ---- Sending data and closing users --------------------------------- */

/* [locked] Sends `length` (1-1024) bytes to the first record holding `userId`, if it
 * is on line, at its last address.  `reserved` is not used.  0 when sent. */
DTU_API int DTU_CALL do_send_user_data(const char *userId, const char *data, unsigned int length,
                                       int reserved);
/* [locked] Takes the on-line terminal `userId` off line (ID cleared) and writes the
 * close line into `message` (may be NULL): "**[%s] %s %s\r\n" with the ID as
 * given, the GBK word CD CB B3 F6 ("quit") and the local time
 * "YYYY-mm-dd HH:MM:SS".  The variant with 2 first sends the terminal a
 * LogoutCmd.  -1 when not on line. */
DTU_API int DTU_CALL do_close_one_user(const char *userId, char *message);
DTU_API int DTU_CALL do_close_one_user2(const char *userId, char *message);
/* [locked] Takes every on-line terminal off line except "00000000000"; `message`
 * ends holding the line of the last one closed.  Always 0. */
DTU_API int DTU_CALL do_close_all_user(char *message);
DTU_API int DTU_CALL do_close_all_user2(char *message);

/* ---- Terminal parameters -------------------------------------------- */

/* [host] Starts a new parameter set frame.  Always 0. */
DTU_API int DTU_CALL ClearParam(void);
/* [host] Appends parameter `tag` with `length` value bytes (tag 18: a text
 * "N1-N2-N3-N4-N5" of 9 characters or more, read to its NUL).  1 when
 * appended; 0 otherwise, with -1 written to *error when the length breaks the
 * tag's limit (a negative length included).  Refused (0) before the first
 * ClearParam. */
DTU_API int DTU_CALL SetParam(int tag, const void *value, int length, int *error);
/* [host] Sends the parameter set frame, carrying `id` (1-11 characters), to
 * address:port.  1 when sent.  0 for a bad ID, no frame (no ClearParam yet)
 * or a failed send.  A frame with no element goes out closed: length 16 and
 * its end mark at byte 15. */
DTU_API int DTU_CALL DoUpdateParam(uint32_t address, int port, const char *id);
/* [any] Sends a 17-byte ParamRead request carrying `id` (1-11 characters) to
 * address:port.  1 when sent, 0 otherwise. */
DTU_API int DTU_CALL DoReadParam(uint32_t address, int port, const char *id);
/* [host] Copies parameter `tag` of the last reply that do_read_proc decoded
 * (dataType 11; all values zero before the first, and fields a reply did not
 * carry read as zero) into `buffer`; the host must call it on the thread that
 * runs do_read_proc, between two of its calls.  *length
 * holds the buffer's size on entry and the bytes written (text length without
 * the NUL) on return.  Texts are NUL-terminated, numbers big-endian, tag 18
 * the text "N1-N2-N3-N4-N5".  0, with nothing written, for an unknown tag or
 * a buffer too small (for tag 18: too small for the text and its NUL). */
DTU_API int DTU_CALL GetParam(int tag, void *buffer, int *length);

/* ---- POSIX window-message mode --------------------------------------- */
#if !defined(_WIN32)
/* Stands in for the window of window-message mode: pass it as `window` to
 * start_gprs_server.  While a datagram waits on the server socket, the
 * notifier reports the message number given at start; the host then calls
 * do_read_proc.  Its file descriptor is pollable (readable while a message
 * waits), so any event loop can watch it; the library runs no thread.
 * In window-message mode a NULL window fails the start ("Init DSC Server
 * Failed" for a negative mode); a non-null pointer that is no live notifier
 * is accepted as a window the library cannot reach: the socket is set
 * non-blocking and nothing is reported (poll with do_read_proc). */
typedef struct DtuNotifier DtuNotifier;
#define DTU_MAX_NOTIFIERS 64
/* [any] A new notifier; NULL when the system refuses a new epoll instance or
 * DTU_MAX_NOTIFIERS notifiers are already live. */
DTU_API DtuNotifier *DTU_CALL dtu_notifier_create(void);
/* [any] The pollable descriptor, or -1 for NULL. */
DTU_API int DTU_CALL dtu_notifier_fd(const DtuNotifier *notifier);
/* [any] Waits up to timeout_ms (-1: no limit) for a message.  Even a destroy
 * from another thread during the wait is safe: the wait ends by a message,
 * its timeout or a failure.  1 with *message set,
 * 0 on timeout or a signal, -1 on error. */
DTU_API int DTU_CALL dtu_notifier_wait(DtuNotifier *notifier, int timeout_ms,
                                       unsigned int *message);
/* [host] Releases the notifier; stop the server first. */
DTU_API void DTU_CALL dtu_notifier_destroy(DtuNotifier *notifier);
#endif

/* ---- Wire tap --------------------------------------------------------- */
/* A host function that sees the raw traffic of the server socket, for
 * captures and traces.  `direction` is DTU_WIRE_IN for a datagram received
 * by do_read_proc (reported before it is checked, whatever becomes of it) and
 * DTU_WIRE_OUT for a datagram the library handed to the socket (command
 * frames, user data, parameter requests).  `addr` and `port` (host order) are
 * the source of an incoming datagram and the destination of an outgoing one.
 * `bytes` holds `length` bytes, valid during the call only; `wireLength` is
 * the datagram's real size, larger than `length` (1040) only for a datagram
 * too large to be received, which do_read_proc then fails.  The tap runs on
 * the thread that called the library, possibly with the server lock held: it
 * must not call any function of this header and should return quickly. */
enum { DTU_WIRE_IN = 0, DTU_WIRE_OUT = 1 };
typedef void(DTU_CALL *DtuWireTap)(void *context, int direction, uint32_t addr, int port,
                                   const void *bytes, int length, int wireLength);
#if !defined(_WIN32)
/* [host] Sets the tap (NULL removes it) and the context it is given.  The host must
 * set it while no other thread is inside do_read_proc or a send.  Exported by
 * the POSIX build. */
DTU_API void DTU_CALL dtu_set_wire_tap(DtuWireTap tap, void *context);
#endif

/* ---- Datagram tap ------------------------------------------------------ */
/* The wire tap's second form: the same datagrams at the same moments, each
 * handed over as one DtuDatagram that also says what the library made of
 * the frame's head, so that a host can name and sort the traffic without
 * decoding it again.  Both forms may be set at once (the wire tap is called
 * first); each has its own context.
 *
 * `code` and `terminalId`:
 *  - a datagram in: when it was received whole and passes the head check
 *    that do_read_proc applies before it dispatches (at least 16 bytes,
 *    start mark, a length field of 16 up to the datagram's size with the end
 *    mark at its place, an ID other than "00000000000"), `code` is its frame
 *    code (0-255, DTU_CODE_* for the known ones) and `terminalId` the ID
 *    field's characters up to the first NUL.  A frame that passes the head
 *    check may still be refused afterwards (a Logon of a bad length, an
 *    IdReport without its mark): it carries its code and ID all the same.
 *    Otherwise (short, bad marks or length, the ID "00000000000", too large
 *    to be received) `code` is DTU_WIRE_NO_CODE and `terminalId` is "".
 *  - a datagram out: every frame the library sends has a head of its own
 *    making: `code` is its code and `terminalId` the ID it carries.
 * The ID's characters are the terminal's bytes as they came, unchecked:
 * escape them before showing them.  The record is valid during the call
 * only.  A later version may add fields at the end; the library owns the
 * record and the host only reads it through the pointer. */
#define DTU_WIRE_NO_CODE (-1)
typedef struct DtuDatagram {
    int direction;            /* DTU_WIRE_IN or DTU_WIRE_OUT */
    uint32_t addr;            /* source (in) or destination (out), host order */
    int port;                 /* its UDP port, host order */
    const void *bytes;        /* `length` bytes of the datagram */
    int length;               /* bytes at `bytes`, at most DTU_MAX_DATAGRAM */
    int wireLength;           /* the datagram's real size (larger only when too large) */
    int code;                 /* frame code 0-255, or DTU_WIRE_NO_CODE */
    char terminalId[12];      /* NUL-terminated; "" with DTU_WIRE_NO_CODE */
} DtuDatagram;
typedef void(DTU_CALL *DtuDatagramTap)(void *context, const DtuDatagram *datagram);
#if !defined(_WIN32)
/* [host] Sets the datagram tap (NULL removes it) and its context, under the
 * wire tap's rules: set it while no other thread is inside do_read_proc or
 * a send; it runs on the thread that called the library, possibly with the
 * server lock held, must not call any function of this header and should
 * return quickly.  Exported by the POSIX build. */
DTU_API void DTU_CALL dtu_set_datagram_tap(DtuDatagramTap tap, void *context);

/* ---- Error numbers ----------------------------------------------------- */
/* [any] The system error number (errno) behind the calling thread's last
 * do_read_proc or start_gprs_server, so that a host need not read it back
 * out of a text:
 *  - do_read_proc: the number its receive-error text shows ("errorcode:%d":
 *    EAGAIN with nothing waiting, EMSGSIZE for a datagram too large, EINTR
 *    when a stop woke it, EBADF with no socket open); 0 when it received a
 *    datagram (whatever became of it) or was given a NULL record.
 *  - start_gprs_server: the number of "Bind Server Failed: %d" (EADDRINUSE,
 *    EADDRNOTAVAIL for a custom IP that is not on this machine, EACCES, ...)
 *    or, for "socket() Failed", of the refused socket; 0 when the start
 *    succeeded or failed for another reason.
 * No other call changes it; 0 on a thread that has made neither call.  Every
 * text and result of those calls stays as it was.  Exported by the POSIX
 * build. */
DTU_API int DTU_CALL dtu_last_error(void);
#endif

#ifdef __cplusplus
}
#endif

#endif /* DTUCENTRE_H */
