// The daemon's local socket server.
//
// Owns the listening UNIX socket (mode 0777: any local user may connect;
// access rules are applied per request), the clients, the poll loop, the pool
// of workers that run one request each, and the idle-client reaper.
//
// No client can stall the others: the loop never blocks on a client. A new
// connection's handshake is answered only once the client's hello is queued
// (a silent one is dropped after `lrpc.connect.timeout`), and a client is
// handed to a worker only once its whole request is queued (or a large prefix
// of a large one); a client that stops half-way through a request is dropped
// after `vgd.client.partial.timeout` seconds. When every worker is busy,
// ready clients wait for the next iteration while accepting and expiry go on.
#pragma once
#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "ofw/guid.h"
#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"
#include "ofw/threads/threadpool.h"
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
  void freeClient(LRPC2ServerSession* session);
  bool shouldRemoveClient(const ClientPtr& session) const { return !session->alive.load(); }

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
  // Runs one client's request on the calling thread (what a worker does).
  void execute(const ClientPtr& session);

 private:
  struct Negotiating {
    int fd;
    time_t since;
  };
  void readLoopSettings();
  size_t initPollFds();
  void serviceCommunications(int ready, size_t count);
  void acceptClient();
  void finishNegotiation(size_t index);
  void serviceOneClient(const ClientPtr& session);
  void checkPartialClients(time_t now);
  bool requestQueued(const ClientPtr& session);
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
  std::vector<ClientPtr> partial_;        // loop thread only: incomplete requests
  std::vector<struct pollfd> pollFds_;    // loop thread only
  std::vector<ClientPtr> polledClients_;  // index i+1+negotiating -> client
  size_t polledNegotiating_ = 0;          // negotiating entries in the poll array
  boost::shared_ptr<ThreadPool> pool_;
  std::atomic<int> inFlight_{0};
  int maxWorkers_ = 15;
  int pollTimeoutMs_ = 100;
  int minIdle_ = 10;
  int idle_ = 1800;
  int connectTimeout_ = 5;
  int partialTimeout_ = 10;
  pthread_t loopThread_;
  std::atomic<bool> loopRunning_{false};
  LoggerPtr logger_;
};

extern IPCServer* gServer;

}  // namespace ofw
