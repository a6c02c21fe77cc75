// The daemon's local socket server.
//
// Owns the listening UNIX socket (mode 0777: any local user may connect;
// access rules are applied per request), the clients, the poll loop, the pool
// of workers that run one request each, and the idle-client reaper.
//
// No client can stall the others or hold a worker: the loop never blocks on a
// client, and every wait for a client is the loop's. A new connection's
// handshake is stepped as its bytes arrive (a silent one is dropped after
// `lrpc.connect.timeout`); the loop reads each request into the client's
// buffer and hands the client to a worker only once the request is whole; a
// version-2 secure-file exchange goes on over the client's next requests;
// replies the socket does not take at once are written by the loop, and the
// client reads no further request meanwhile. A client that stops half-way
// through a request or an exchange, or leaves its reply unread, is dropped
// after `vgd.client.partial.timeout` seconds. When every worker is busy,
// whole requests wait while reading, accepting and expiry go on.
//
// Descriptors: a non-root uid holds at most `vgd.clients.max.per.uid`
// connections (further ones are closed at once), so that root and other users
// are always served; while the descriptor limit is reached, accepting pauses
// (until a connection closes, or for a second) and the condition is logged
// once per episode.
//
// Every way a connection ends while the daemon runs (hang-up, bad request,
// time-out, idle reaper, the resource monitor's purge) goes through
// dropClient, which ends its audited session. When the daemon stops, the
// connections close and their sessions stay open for the shells to resume.
#pragma once
#include <poll.h>

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <ctime>
#include <functional>
#include <list>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "ofw/guid.h"
#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"
#include "ofw/threads/threadpool.h"
#include "ofw/unique_fd.h"
#include "server/server_flags.h"
#include "server/server_session.h"
#include "server/user_lookup.h"

namespace ofw {

typedef boost::shared_ptr<LRPC2ServerSession> ClientPtr;

class IPCServer {
 public:
  // Creates, binds (mode 0777) and listens on path. Throws SystemException
  // "create AF_UNIX socket", "bind socket", "chmod unix socket" or "listen to
  // AF_UNIX socket" (with the system error text).
  explicit IPCServer(const std::string& path);
  ~IPCServer();
  IPCServer(const IPCServer&) = delete;
  IPCServer& operator=(const IPCServer&) = delete;

  // Runs until the stop flag is set.
  void loop();

  ServerFlags& flags() { return flags_; }
  const std::string& socketPath() const { return socketPath_; }

  // Signalling the audit shell of a session: 0 done, 1 no client holds the
  // session (or its pid is not one that may be signalled), 2 the signal
  // failed. Only a pid > 1 that is a connected session's shell is ever
  // signalled: pause and continue only the audit shell at the other end of
  // the session's connection, kill only that process or one it started.
  int pauseVuvoSession(const Guid& guid);
  int continueVuvoSession(const Guid& guid);
  int killVuvoSession(const Guid& guid);

  bool getClientVuvoPID(const Guid& guid, int* pid);
  bool getClientSubshellPID(const Guid& guid, int* pid);
  bool isClientVuvo(int pid);
  // The GUID of the client whose psid is getsid(pid); NotFoundException otherwise.
  Guid getSessionGuid(int pid);
  void getClientGuids(std::vector<Guid>& out);
  bool hasClientWithSession(const Guid& guid);
  // Removes the client and ends its connection (LRPC2ServerSession::
  // closeConnection). Called by the thread that holds the client.
  void dropClient(const ClientPtr& session);

  // Passwd look-ups, caches, directory session, audit-level context.
  ovg::UserLookup& userLookup() { return *userLookup_; }

  // Called on the loop thread after a configuration reload was requested.
  void setReloadHook(std::function<void()> hook) { reloadHook_ = std::move(hook); }

  // Wakes the loop (workers call it when their request is done).
  void wakeLoop();
  size_t clientCount();
  std::vector<ClientPtr> snapshotClients();

  // Reaper, public for tests: min/idle seconds.
  void expireOldClients(int minIdle, int idle, bool pollFailed, bool purgeIdle);
  // Runs one client's request on the calling thread (what a worker does), and
  // up to maxRequests - 1 more whole ones already waiting on its socket. A
  // caller other than the loop may queue the request on the socket first: what
  // is there is read without waiting.
  static constexpr int kRequestsPerTurn = 8;
  void execute(const ClientPtr& session, int maxRequests = kRequestsPerTurn);

 private:
  struct Negotiating {
    int fd;
    int uid;
    time_t since;
    SessionAcceptState* state;
  };
  void readLoopSettings();
  void readPollFdsSetting();
  size_t initPollFds();
  void serviceCommunications(int ready, size_t count);
  void acceptClients(time_t now);
  bool admit(int fd, int uid);
  void releaseUid(int uid);
  void stepNegotiation(size_t index);
  void closeNegotiating(Negotiating& n);
  // Serves the clients whose next request was read with their last one.
  void serveHeld();
  void readClient(const ClientPtr& c, time_t now);
  void writeClient(const ClientPtr& c, time_t now);
  // Answers a whole request of c on the loop when it only stores a record of
  // c's open session (and commits are not synced); true when the loop is done
  // with the request, false when a worker must take it.
  bool answerOnLoop(const ClientPtr& c);
  // Runs step; any exception drops the client (logged). False then. (A
  // template: it is on every request's path, where a std::function would
  // allocate for its captures.)
  template <class Step>
  bool guarded(const ClientPtr& session, Step&& step);
  void serve(const ClientPtr& session, int fd, int maxRequests);
  void dispatchWaiting();
  void serviceOneClient(const ClientPtr& session);
  void checkStalledClients(time_t now);
  void expireNegotiating(time_t now);
  int signalShell(const Guid& guid, bool subshell, int sig, const char* action);

  ServerFlags flags_;
  std::function<void()> reloadHook_;
  std::unique_ptr<ovg::UserLookup> userLookup_;
  std::string socketPath_;
  int listenFd_ = -1;
  std::list<ClientPtr> clients_;
  Mutex clientsLock_;
  std::vector<Negotiating> negotiating_;  // loop thread only
  std::vector<ClientPtr> waiting_;        // loop thread only: whole requests, no worker yet
  std::vector<ClientPtr> held_;           // loop thread only: whole requests read ahead, served after the poll
  std::vector<struct pollfd> pollFds_;    // loop thread only
  std::vector<ClientPtr> polledClients_;  // index i+1+negotiating -> client
  size_t polledNegotiating_ = 0;          // negotiating entries in the poll array
  std::map<int, int> perUid_;             // under clientsLock_: open connections per uid
  std::set<int> capped_;                  // under clientsLock_: uids refused (logged) since they last fell to half the cap
  int maxPerUid_ = 256;
  bool fdsExhausted_ = false;             // loop thread only: an EMFILE episode is on
  time_t acceptRetry_ = 0;                // loop thread only: when to try accepting again
  std::atomic<bool> fdFreed_{false};      // a connection closed since the last accept attempt
  boost::shared_ptr<ThreadPool> pool_;
  std::atomic<int> inFlight_{0};
  int maxWorkers_ = 15;
  int pollTimeoutMs_ = 100;
  bool recordsOnLoop_ = true;             // loop thread only: spool.sync is none
  size_t pollFdsSetting_ = 2048;          // `vgd.poll.fds`: the poll array's least size
  time_t lastExpiry_ = 0;                 // loop thread only: second of the last time-out walk
  int minIdle_ = 10;
  int idle_ = 1800;
  int connectTimeout_ = 5;
  int partialTimeout_ = 10;
  std::atomic<bool> loopRunning_{false};
  UniqueFd wakeFd_;                       // eventfd: a worker's end wakes the poll
  std::atomic<bool> wakePending_{false};  // a wake is written and not yet read
  size_t wakeIndex_ = 0;                  // loop thread only: its entry in the poll array
  LoggerPtr logger_;
};

extern IPCServer* gServer;

}  // namespace ofw
