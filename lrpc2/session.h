// LRPC2 session transport: version negotiation, per-version headers,
// request/reply pairing, version-5 signing, peer authentication and the
// time-limited socket I/O under it. Both ends: the daemon is the server, its
// tools and probes are clients. Layouts are in lrpc2/header.h.
//
// C-style API: opaque handles, integer status codes (0 success, 401-429
// below, SessionErr2Str). Time-outs are in seconds and bound the whole call
// (a peer that trickles bytes cannot stretch it); 0 means no time-out.
// A session is used by one thread at a time. After 405, 406 or 409 a session
// is no longer usable and is closed by its owner.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "lrpc2/msg.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  SESSION_OK = 0,
  SESSION_ERR_NOPATH = 401,        // "Socket path does not exist"
  SESSION_ERR_OPEN = 402,          // "Cannot open socket"
  SESSION_ERR_PROTOCOL = 403,      // "Wrong protocol in handshake"
  SESSION_ERR_TABLEVERSION = 404,  // "Message table version mismatch"
  SESSION_ERR_CLOSED = 405,        // "Socket closed"
  SESSION_ERR_SOCKET = 406,        // "Socket error"
  SESSION_ERR_INVALID = 407,       // "Invalid message handle or operation"
  SESSION_ERR_NOMEM = 408,         // "Out of memory"
  SESSION_ERR_TIMEOUT = 409,       // "Timeout during operation"
  SESSION_ERR_AUTH = 410,          // "Process authentication failed"
  SESSION_ERR_IDENTITY = 411,      // "Process identity is not known at this point"
  SESSION_ERR_HANDLE = 412,        // "Bad or invalid session handle"
  SESSION_ERR_NEEDTIMEOUT = 413,   // "A timeout value is required"
  SESSION_ERR_MAGIC = 414,         // "Bad magic number in communication, ..."
  SESSION_ERR_TMPSPACE = 415,      // "Temporary storage is running out of space"
  SESSION_ERR_FILEOPEN = 416,      // "Cannot open file"
  SESSION_ERR_FILEOP = 417,        // "File operation error"
  SESSION_ERR_LENGTH = 418,        // "Bad message length"
  SESSION_ERR_CONNECTTIMEOUT = 419,// "Timeout while connecting"
  SESSION_ERR_HEADER = 420,        // "Bad or invalid message header"
  SESSION_ERR_HEADERLENGTH = 421,  // "Bad or invalid message length"
  SESSION_ERR_PID = 422,           // "Message version mismatch"
  SESSION_ERR_SEQUENCE = 423,      // "Message sequence number mismatch"
  SESSION_ERR_NOTIMPL = 424,       // "Module is not implemented"
  SESSION_ERR_DENIED = 425,        // "Access denied"
  SESSION_ERR_SIGNDISABLED = 426,  // "Signing is disabled"
  SESSION_ERR_PARAM = 427,         // "Parameter is invalid"
  SESSION_ERR_RETRY = 428,         // "Will retry"
  SESSION_ERR_NOPID = 429          // no text: no peer pid on versions 2 and 3
};

// Signing settings (lrpc2.message.signing).
enum { SIGN_SETTING_DISABLED = 0, SIGN_SETTING_ALLOWED = 1, SIGN_SETTING_REQUIRED = 2 };

#define SESSION_MIN_VERSION 2
#define SESSION_MAX_VERSION 5

// "required" -> 2, "allowed" -> 1, anything else (or null) -> 0; case ignored.
int SignStringToSignSetting(const char* text);
// The version-5 signing decision of the server for settings S (server) and
// C (client): 0 and *on, or 425 (S required, C disabled) / 426 (S disabled,
// C required).
int SessionSignDecision(int serverSetting, int clientSetting, int* on);

// Text of a session-layer status (also 2xx message-layer codes); null
// for codes without text (0, 429, unknown).
const char* SessionErr2Str(int status);

// ---- socket primitives -------------------------------------------------------

// 1 ready, 0 time-out, -1 failure (POLLERR/POLLHUP/POLLNVAL without the
// wanted event). seconds < 0 waits without limit. EINTR is retried.
int IOWait(int fd, int seconds, short events);
int SendWait(int fd, int seconds);
int RecvWait(int fd, int seconds);
// Writes / reads exactly `length` bytes within `timeout` seconds (0 = none:
// a non-blocking descriptor is switched to blocking for the call). Returns 0,
// 405 (closed / EPIPE / end of file), 406 (other error) or 409 (time-out).
// useSendmsg / useRecvmsg select sendmsg(MSG_NOSIGNAL) / recvmsg over
// write / read (sockets only).
int send_wrap(int fd, const void* data, size_t length, int timeout, int useSendmsg);
int recv_wrap(int fd, void* buffer, size_t length, int timeout, int useRecvmsg);
// The peer's uid and gid (SO_PEERCRED): 0, or 410 with both set to -1.
int get_peer_credential(int fd, int* uid, int* gid);

// ---- server ------------------------------------------------------------------

typedef struct LRPC2SessionServer LRPC2SessionServer;

// Blocking handshake (bounded by `timeout`). *version receives the version the
// client offered (also on failure, 0 if none was read). A refusal (425 for
// versions 2-4 when signSetting is required, 403 for unknown versions) is
// answered with u32 0; no session is created on failure.
LRPC2SessionServer* SessionAccept(int inFd, int outFd, int timeout, const MsgTable* table,
                                  int signSetting, int* status, int* version);

// Non-blocking handshake for a poll loop: Begin, then Step each time inFd is
// readable (and at least when SessionAcceptTimeLeftMs reaches 0). Step never
// waits for input; it returns SESSION_ACCEPT_PENDING (need more bytes),
// SESSION_ACCEPT_DONE (*session set) or SESSION_ACCEPT_FAILED (*status set,
// 409 once the time-out has passed). Outcomes and status codes are those of
// SessionAccept. The state is freed with SessionAcceptFree in every case.
typedef struct SessionAcceptState SessionAcceptState;
enum { SESSION_ACCEPT_DONE = 0, SESSION_ACCEPT_PENDING = 1, SESSION_ACCEPT_FAILED = -1 };
SessionAcceptState* SessionAcceptBegin(int inFd, int outFd, int timeout, const MsgTable* table,
                                       int signSetting);
int SessionAcceptStep(SessionAcceptState* state, LRPC2SessionServer** session, int* status,
                      int* version);
// Milliseconds until the handshake's time-out (-1 = none, 0 = expired).
int SessionAcceptTimeLeftMs(const SessionAcceptState* state);
void SessionAcceptFree(SessionAcceptState* state);

// Receives one request (bounded by `timeout`, 0 = none) from fd (< 0: the
// session's input descriptor), verifies it and, when its type needs
// authentication and the session is not authenticated yet, authenticates the
// peer. flags must be 0 (427 otherwise). Errors: 414, 421, 404, 418 (bodies
// above 0x100000, before any allocation), 405, 406, 409; version 5: 425 for an
// asynchronous request that fails the signature check, 428 after an error
// reply was sent for any other one; 407 for an invalid body; 410 when the
// authentication fails.
LRPC2Msg* SessionRecv(int fd, LRPC2SessionServer* session, int timeout, int* status, int flags);
// For a poll loop that reads its clients' bytes itself: `data` holds exactly
// one request (the header and the body it announces; a header that fails its
// checks alone), processed as SessionRecv does, without any I/O on inFd.
// A version-2 request that needs authentication begins the secure-file
// exchange: its messages go out, null is returned with 428, and each later
// frame of the client continues it until the request itself is returned
// (status 0) or the exchange fails; `timeout` bounds the whole exchange.
LRPC2Msg* SessionRecvFrame(LRPC2SessionServer* session, const uint8_t* data, size_t length, int timeout,
                           int* status);
// 1 while a secure-file exchange awaits the client's next message.
int SessionAuthPending(const LRPC2SessionServer* session);
// Everything the session sends on its output descriptor (replies, error
// replies, the exchange's messages) is handed to `output` instead; it returns
// 0 or a status that the send reports. Null restores writing.
typedef int (*SessionOutputFn)(void* context, const uint8_t* data, size_t length);
void SessionSetOutput(LRPC2SessionServer* session, SessionOutputFn output, void* context);
// Sends the reply of the current request to fd (< 0: the session's output
// descriptor). Nothing is sent for an asynchronous request.
int SessionServerSend(int fd, LRPC2SessionServer* session, LRPC2Msg* reply, int timeout);
// Peer uid and gid once authenticated (411 before).
int SessionProcessIdentity(LRPC2SessionServer* session, int* uid, int* gid);
// Pid the client put in the current request's header (versions 4 and 5); 429
// on versions 2 and 3, 411 before the first request.
int SessionProcessPid(LRPC2SessionServer* session, pid_t* pid);
void SessionClearIdentity(LRPC2SessionServer* session);
int SessionGetVersion(const LRPC2SessionServer* session);
int SessionIsSigning(const LRPC2SessionServer* session);
// Frees the session; the descriptors stay open (their owner closes them).
void SessionServerClose(LRPC2SessionServer* session);

// Directory of the version-2 secure-file authentication (root-owned, created
// mode 0711 when missing). Process-wide, used by servers and clients (a client
// reads only files inside it). Default ofw::paths::LRPC2_AUTH_DIR.
void SessionSetAuthFileDir(const char* path);
const char* SessionGetAuthFileDir(void);

// ---- client ------------------------------------------------------------------

typedef struct LRPC2SessionClient LRPC2SessionClient;

// Connects to the socket at `path` (absolute, else 401) and runs the handshake
// of `version` (2-5) with the client's signing setting. timeout > 0 (413
// otherwise). Errors: 401, 402, 419, 406, 403, 407, 418, 425, 426, 427, ...
LRPC2SessionClient* SessionConnectWithTimeout(const char* path, const MsgTable* table, int timeout,
                                              int version, int signSetting, int* status);
LRPC2SessionClient* SessionConnect(const char* path, const MsgTable* table, int version,
                                   int signSetting, int* status);
// Sends a complete request and returns its reply (caller frees), or null with
// the status. An asynchronous request (version 5, type flagged do-async)
// returns null with status 0. timeout > 0 (413 otherwise).
LRPC2Msg* SessionSendWithTimeout(LRPC2SessionClient* session, LRPC2Msg* request, int timeout,
                                 int* status);
LRPC2Msg* SessionSend(LRPC2SessionClient* session, LRPC2Msg* request, int* status);
int SessionIsConnected(const LRPC2SessionClient* session);
int SessionClientVersion(const LRPC2SessionClient* session);
int SessionClientIsSigning(const LRPC2SessionClient* session);
// Closes the socket and frees the session.
void SessionClientClose(LRPC2SessionClient* session);
// Answers an authentication reply (_ProcessAuthChallenge2 on any version;
// _ProcessAuthChallenge and _ProcessAuthResponse on version 2) and returns the
// next reply. `challenge` stays the caller's.
LRPC2Msg* ClientProcessAuth(LRPC2SessionClient* session, LRPC2Msg* challenge, int timeout,
                            int* status);

#ifdef __cplusplus
}  // extern "C"
#endif
