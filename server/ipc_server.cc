#include "server/ipc_server.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "lrpc2/header.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/config/properties.h"
#include "ofw/resource_limits.h"
#include "server/process_info.h"
#include "server/request_readiness.h"

namespace ofw {

IPCServer* gServer = nullptr;

namespace {

void wakeHandler(int) {}

// The pid of the process at the other end of a connected socket; 0 when unknown.
int peerPid(int fd) {
  struct ucred cred;
  socklen_t len = sizeof cred;
  if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return 0;
  return static_cast<int>(cred.pid);
}

// Runs one request of one client on a pooled thread, then lets the loop poll
// the client again at once.
class IPCClientTask : public Runnable {
 public:
  IPCClientTask(IPCServer* server, ClientPtr session, std::atomic<int>* inFlight)
      : server_(server), session_(std::move(session)), inFlight_(inFlight) {}
  void run() override {
    try {
      server_->execute(session_);
    } catch (...) {
      session_->alive = false;
      server_->freeClient(session_.get());
    }
    session_->busy = false;
    --*inFlight_;
    server_->wakeLoop();
  }

 private:
  IPCServer* server_;
  ClientPtr session_;
  std::atomic<int>* inFlight_;
};

int readDecimalKey(const char* key, int def) {
  std::string v = Props().getProperty(key, "");
  if (v.empty()) return def;
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (end == v.c_str()) return def;
  if (n > 1000000) n = 1000000;
  if (n < -1000000) n = -1000000;
  return static_cast<int>(n);
}

bool isDecimal(const std::string& v) {
  if (v.empty()) return false;
  size_t i = (v[0] == '-' || v[0] == '+') ? 1 : 0;
  if (i == v.size()) return false;
  for (; i < v.size(); ++i)
    if (v[i] < '0' || v[i] > '9') return false;
  return v.size() < 10;
}

size_t bytesQueued(int fd, bool* ok) {
  int n = 0;
  *ok = ioctl(fd, FIONREAD, &n) == 0;
  return *ok && n > 0 ? static_cast<size_t>(n) : 0;
}

}  // namespace

IPCServer::IPCServer(const std::string& path) : socketPath_(path), logger_(getLogger("ovg.vgd.ipcserver")) {
  unlink(path.c_str());
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw SystemException(withErrno("create AF_UNIX socket", errno), errno, __FILE__, __LINE__);
  struct sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), 107);
  socklen_t len = static_cast<socklen_t>(std::min<size_t>(path.size(), 107) + 2);
  auto fail = [this](const char* what) {
    int err = errno;
    close(listenFd_);
    listenFd_ = -1;
    throw SystemException(withErrno(what, err), err, __FILE__, __LINE__);
  };
  if (bind(listenFd_, reinterpret_cast<struct sockaddr*>(&addr), len) != 0) fail("bind socket");
  if (chmod(path.c_str(), 0777) != 0) fail("chmod unix socket");
  int backlog = readDecimalKey("vgd.clients.listen.backlog", 50);
  if (listen(listenFd_, backlog) != 0) fail("listen to AF_UNIX socket");
  userLookup_.reset(new ovg::UserLookup(CapiDynamicLoader::getInstance(), Props()));
}

IPCServer::~IPCServer() {
  if (pool_) pool_->shutdown(false);
  pool_.reset();
  {
    Lock lock(clientsLock_);
    clients_.clear();
  }
  partial_.clear();
  for (auto& n : negotiating_) close(n.fd);
  negotiating_.clear();
  if (listenFd_ >= 0) close(listenFd_);
  unlink(socketPath_.c_str());
}

void IPCServer::readLoopSettings() {
  Properties& props = Props();
  idle_ = props.getInt("vgd.client.idle.timeout", 1800);
  if (idle_ < 0) {
    OFW_ERROR(logger_, "Illegal value for %s: %d. Using %d", "vgd.client.idle.timeout", idle_, 1800);
    idle_ = 1800;
  }
  minIdle_ = props.getInt("vgd.client.idle.timeout.min", 10);
  if (minIdle_ < 10) {
    OFW_ERROR(logger_, "Illegal value for %s: %d. Using %d", "vgd.client.idle.timeout.min", minIdle_, 10);
    minIdle_ = 10;
  }
  if (idle_ < minIdle_) minIdle_ = idle_;
  pollTimeoutMs_ = props.getInt("vgd.clients.threads.poll", 100);
  if (pollTimeoutMs_ < 1) {
    OFW_ERROR(logger_, "Illegal value for %s: %d. Using %d", "vgd.clients.threads.poll", pollTimeoutMs_, 100);
    pollTimeoutMs_ = 100;
  }
  connectTimeout_ = static_cast<int>(props.getTime("lrpc.connect.timeout", 's', 5));
  if (connectTimeout_ < 1) connectTimeout_ = 5;
  partialTimeout_ = props.getInt("vgd.client.partial.timeout", 10);
  if (partialTimeout_ < 1) partialTimeout_ = 10;
}

void IPCServer::loop() {
  readLoopSettings();

  // Bad pool settings fall back to the defaults instead of ending the daemon.
  std::string sizeText = Props().getProperty("vgd.threadpool.size", "10");
  std::string maxText = Props().getProperty("vgd.threadpool.size.max", "15");
  int size = isDecimal(sizeText) ? std::atoi(sizeText.c_str()) : -1;
  int max = isDecimal(maxText) ? std::atoi(maxText.c_str()) : -1;
  if (size < 1 || max < size || max > 1000) {
    OFW_WARN(logger_, "Illegal thread pool settings vgd.threadpool.size '%s', vgd.threadpool.size.max '%s'. Using %d and %d",
             sizeText.c_str(), maxText.c_str(), 10, 15);
    size = 10;
    max = 15;
  }
  pool_.reset(new ThreadPool("IPCServer", size, max));
  maxWorkers_ = max;

  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = wakeHandler;
  sa.sa_flags = SA_NODEFER;
  if (sigemptyset(&sa.sa_mask) != 0 || sigaction(SIGUSR1, &sa, nullptr) != 0)
    throw SystemException(withErrno("OS call failed", errno), errno, __FILE__, __LINE__);
  loopThread_ = pthread_self();
  loopRunning_ = true;

  bool pollFailed = false;
  while (!flags_.stop.load()) {
    try {
      time_t now = time(nullptr);
      expireOldClients(minIdle_, idle_, pollFailed, flags_.purgeIdle.load());
      expireNegotiating(now);
      checkPartialClients(now);
      size_t count = initPollFds();
      int ready = ::poll(pollFds_.data(), static_cast<nfds_t>(count), pollTimeoutMs_);
      if (ready < 0 && errno != EINTR) {
        int err = errno;
        OFW_WARN(logger_,
                 "Attempt to determine whether any existing clients were active and in need of service failed with error code: %d (%s)",
                 err, errnoText(err).c_str());
        sched_yield();
        pollFailed = true;
      } else if (ready > 0) {
        OFW_TRACE(logger_, "poll reports %d out of %d FD ready", ready, static_cast<int>(count));
        serviceCommunications(ready, count);
        pollFailed = false;
      } else {
        pollFailed = false;
      }
      if (flags_.reloadPending.load()) {
        std::string dump = Props().getProperty("vgd.dumpcore", "");
        for (auto& c : dump) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        struct rlimit rl;
        bool allow = (dump == "true" || dump == "yes" || dump == "1") && !flags_.noCore.load();
        rl.rlim_cur = rl.rlim_max = allow ? RLIM_INFINITY : 0;
        setrlimit(RLIMIT_CORE, &rl);
        userLookup_->loadCacheProp();
        if (reloadHook_) reloadHook_();
        IncreaseOpenFilesLimit(logger_);
        flags_.reloadPending = false;
      }
    } catch (const std::bad_alloc&) {
      OFW_WARN(logger_, "Out of memory.");
    }
  }
  loopRunning_ = false;
  pool_->shutdown(false);
  pool_.reset();
}

void IPCServer::wakeLoop() {
  if (loopRunning_.load()) pthread_kill(loopThread_, SIGUSR1);
}

size_t IPCServer::initPollFds() {
  Lock lock(clientsLock_);
  size_t wanted = 1 + negotiating_.size() + clients_.size();
  int configured = readDecimalKey("vgd.poll.fds", 2048);
  if (configured < 1) configured = 1;
  size_t capacity = std::max<size_t>(wanted, std::min<size_t>(static_cast<size_t>(configured), 65536));
  if (pollFds_.size() < capacity) pollFds_.resize(capacity);
  std::memset(pollFds_.data(), 0, sizeof(struct pollfd) * capacity);
  polledClients_.clear();
  size_t n = 0;
  pollFds_[n].fd = listenFd_;
  pollFds_[n].events = POLLIN;
  ++n;
  for (const Negotiating& neg : negotiating_) {
    pollFds_[n].fd = neg.fd;
    pollFds_[n].events = POLLIN;
    ++n;
  }
  polledNegotiating_ = negotiating_.size();
  // While every worker is busy, clients are not polled: a worker ending its
  // request wakes the loop.
  if (inFlight_.load() < maxWorkers_) {
    for (const ClientPtr& c : clients_) {
      int fd = c->fd.load();
      if (c->busy.load() || fd < 0 || fd == listenFd_ || c->partialSince != 0) continue;
      OFW_TRACE(logger_, "Add fd %d to poll index %d", fd, static_cast<int>(n));
      pollFds_[n].fd = fd;
      pollFds_[n].events = POLLIN;
      polledClients_.push_back(c);
      ++n;
    }
  }
  OFW_TRACE(logger_, "Number of fd to poll: %d.", static_cast<int>(n));
  return n;
}

void IPCServer::serviceCommunications(int ready, size_t count) {
  if (pollFds_[0].revents & POLLIN) {
    OFW_TRACE(logger_, "vgd listening socket fd %d is ready", listenFd_);
    try {
      acceptClient();
    } catch (const std::exception& e) {
      OFW_DEBUG(logger_, "Uncaught exception while accepting socket: %s", e.what());
    }
    --ready;
  }
  // Handshakes whose hello is queued. Only the first polledNegotiating_
  // entries were polled: connections accepted just now come after them.
  const size_t negCount = polledNegotiating_;
  {
    std::vector<size_t> finished;
    for (size_t i = 0; i < negCount && 1 + i < count; ++i) {
      short re = pollFds_[1 + i].revents;
      if (!re) continue;
      --ready;
      finished.push_back(i);
    }
    // Process from the back so indexes stay valid while entries are erased.
    for (auto it = finished.rbegin(); it != finished.rend(); ++it) finishNegotiation(*it);
  }

  std::vector<ClientPtr> readyList;
  {
    Lock lock(clientsLock_);
    size_t first = 1 + negCount;
    for (size_t i = 0; i < polledClients_.size() && first + i < count; ++i) {
      const struct pollfd& p = pollFds_[first + i];
      const ClientPtr& c = polledClients_[i];
      if (!c->alive.load()) continue;  // dropped since it was polled
      if (!(p.revents & POLLIN)) {
        if (!(p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
          OFW_TRACE(logger_, "fd %d is not ready. skip. revents: 0x%x", p.fd, p.revents);
          continue;
        }
        OFW_DEBUG(logger_, "fd %d returns unexpected event 0x%x", p.fd, p.revents);
        OFW_DEBUG(logger_, "Removing client (fd:%d), as unexpected event was returned.", p.fd);
        c->alive = false;
        clients_.remove(c);
        --ready;
        continue;
      }
      OFW_TRACE(logger_, "fd %d should be ready, checking who's using it.", p.fd);
      OFW_TRACE(logger_, "fd %d is in use.", p.fd);
      readyList.push_back(c);
      --ready;
    }
    if (ready < 0) OFW_DEBUG(logger_, "more clients had their descriptors set than poll() indicated");
  }
  for (const ClientPtr& c : readyList) {
    if (requestQueued(c)) {
      serviceOneClient(c);
    } else {
      c->partialSince = time(nullptr);
      partial_.push_back(c);
    }
  }
}

bool IPCServer::requestQueued(const ClientPtr& session) {
  int fd = session->fd.load();
  if (fd < 0) return true;
  bool ok = false;
  size_t available = bytesQueued(fd, &ok);
  if (!ok || available == 0) return true;  // the worker reports the failure or the hang-up
  // A peer that hung up after part of a request: the worker's receive ends
  // its session at once instead of it waiting as a partial request.
  struct pollfd p = {fd, POLLRDHUP, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) return true;
  uint8_t head[lrpc2::kHeaderLengthV5];
  size_t want = std::min(sizeof head, ovg::headerBytesToPeek(session->getVersion()));
  ssize_t got = want ? recv(fd, head, want, MSG_PEEK | MSG_DONTWAIT) : 0;
  if (got < 0) return true;
  return ovg::requestReadiness(session->getVersion(), head, static_cast<size_t>(got), available) ==
         ovg::Readiness::Ready;
}

void IPCServer::checkPartialClients(time_t now) {
  for (auto it = partial_.begin(); it != partial_.end();) {
    const ClientPtr& c = *it;
    if (!c->alive.load()) {
      it = partial_.erase(it);
      continue;
    }
    if (requestQueued(c)) {
      if (inFlight_.load() >= maxWorkers_) {
        ++it;
        continue;
      }
      c->partialSince = 0;
      ClientPtr keep = c;
      it = partial_.erase(it);
      serviceOneClient(keep);
      continue;
    }
    if (now - c->partialSince >= partialTimeout_) {
      OFW_INFO(logger_, "Client (fd=%d) sent an incomplete request and nothing more for %d seconds. Removing.",
               c->fd.load(), partialTimeout_);
      c->alive = false;
      freeClient(c.get());
      it = partial_.erase(it);
      continue;
    }
    ++it;
  }
}

void IPCServer::acceptClient() {
  int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (err == EMFILE || err == ENFILE)
      OFW_WARN(logger_,
               "The number of open files reached the limitation. Need to increase the limitation, then restart vgd to take effect.");
    throw SystemException(format("accept new client (errno=%d)", err), err, __FILE__, __LINE__);
  }
  OFW_DEBUG(logger_, "Accepted new client on fd = %d", fd);
  negotiating_.push_back(Negotiating{fd, time(nullptr)});
}

void IPCServer::finishNegotiation(size_t index) {
  int fd = negotiating_[index].fd;
  uint8_t head[8];
  bool ok = false;
  size_t available = bytesQueued(fd, &ok);
  ssize_t got = ok && available ? recv(fd, head, std::min(sizeof head, available), MSG_PEEK | MSG_DONTWAIT) : 0;
  if (ok && got > 0 && ovg::handshakeReadiness(head, static_cast<size_t>(got)) == ovg::Readiness::Incomplete)
    return;  // wait for the rest of the hello
  negotiating_.erase(negotiating_.begin() + static_cast<long>(index));
  ClientPtr session(new LRPC2ServerSession(this));
  try {
    session->negotiate(fd);
  } catch (const std::exception& e) {
    OFW_ERROR(logger_, "Failed to accept lrpc2 session on fd: %d error: %s", fd, e.what());
    return;
  }
  OFW_DEBUG(logger_, "LRPC2 session accepted for fd = %d", fd);
  Lock lock(clientsLock_);
  clients_.push_back(session);
}

void IPCServer::expireNegotiating(time_t now) {
  for (auto it = negotiating_.begin(); it != negotiating_.end();) {
    if (now - it->since >= connectTimeout_) {
      OFW_DEBUG(logger_, "Client on fd %d did not complete its handshake within %d seconds. Removing.", it->fd,
                connectTimeout_);
      close(it->fd);
      it = negotiating_.erase(it);
    } else {
      ++it;
    }
  }
}

void IPCServer::serviceOneClient(const ClientPtr& session) {
  if (!pool_) {
    execute(session);
    Logger::SetThreadName("main");
    return;
  }
  if (inFlight_.load() >= maxWorkers_) {
    // Every worker is busy: the client is polled again next time.
    return;
  }
  session->busy = true;
  ++inFlight_;
  try {
    pool_->execute(boost::shared_ptr<Runnable>(new IPCClientTask(this, session, &inFlight_)));
  } catch (const std::exception& e) {
    --inFlight_;
    session->busy = false;
    OFW_WARN(logger_, "%s--disconnecting client.", e.what());
  }
}

void IPCServer::execute(const ClientPtr& session) {
  int fd = session->fd.load();
  Logger::SetThreadName(format("fd:%d client", fd));
  try {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) {
      int err = errno;
      OFW_WARN(logger_, "Unable to determine how much data is available from client on %d, err: %d (%s).  Disconnecting client.",
               fd, err, errnoText(err).c_str());
      freeClient(session.get());
      return;
    }
    if (n == 0) {
      OFW_DEBUG(logger_, "client disconnected normally");
      session->endSession(nullptr);
      freeClient(session.get());
      return;
    }
    OFW_TRACE(logger_, "handling incoming client message for fd:%d", fd);
    if (session->HandleMessage() == 0) {
      session->lastActivity = time(nullptr);
      OFW_TRACE(logger_, "task complete");
      return;
    }
    freeClient(session.get());
  } catch (const ClientException&) {
    freeClient(session.get());
  } catch (const std::bad_alloc&) {
    OFW_WARN(logger_, "Out of memory--disconnecting client.");
    freeClient(session.get());
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "%s--disconnecting client.", e.what());
    freeClient(session.get());
  } catch (...) {
    OFW_WARN(logger_, "Disconnecting client");
    freeClient(session.get());
  }
}

void IPCServer::freeClient(LRPC2ServerSession* session) {
  session->alive = false;
  Lock lock(clientsLock_);
  clients_.remove_if([session](const ClientPtr& c) { return c.get() == session; });
}

void IPCServer::expireOldClients(int minIdle, int idle, bool pollFailed, bool purgeIdle) {
  if (idle == 0) return;
  time_t now = time(nullptr);
  Lock lock(clientsLock_);
  for (const ClientPtr& c : clients_) {
    int fd = c->fd.load();
    if (fd == -1) {
      OFW_DEBUG(logger_, "Server wrapper disconnected itself. Removing the client.");
      OFW_INFO(logger_, "Client (fd=%d) went bad. Removing.", fd);
      c->alive = false;
      continue;
    }
    if (pollFailed && fd >= 0) {
      struct stat st;
      if (fstat(fd, &st) != 0) {
        int err = errno;
        OFW_WARN(logger_, "fstat fd %d failed with %d (%s)", fd, err, errnoText(err).c_str());
        OFW_INFO(logger_, "Client (fd=%d) went bad. Removing.", fd);
        c->alive = false;
        continue;
      }
    }
    if (!c->alive.load()) {
      OFW_INFO(logger_, "Client (fd=%d) is no longer alive. Removing.", fd);
      continue;
    }
    if (c->busy.load()) continue;
    time_t last = c->lastActivity.load();
    if (last < now - idle) {
      OFW_INFO(logger_, "No activity for at least %d seconds from client (fd=%d). Removing.", idle, fd);
      c->alive = false;
    } else if (purgeIdle && last < now - minIdle) {
      OFW_INFO(logger_, "No activity for at least %d seconds from client (fd=%d). Removing aggressively.", minIdle, fd);
      c->alive = false;
    }
  }
  clients_.remove_if([](const ClientPtr& c) { return !c->alive.load() && !c->busy.load(); });
}

int IPCServer::signalShell(const Guid& guid, bool subshell, int sig, const char* action) {
  int pid = 0, peer = 0;
  bool found = false;
  {
    Lock lock(clientsLock_);
    for (const ClientPtr& c : clients_)
      if (c->alive.load() && c->sessionOpen && c->sessionGuid == guid) {
        pid = subshell ? c->shellPid.load() : c->ovgshPid.load();
        peer = peerPid(c->fd.load());
        found = true;
        break;
      }
  }
  if (!found || pid <= 1) {
    OFW_DEBUG(logger_, "Unable to locate ovgsh pid for session (%s)", action);
    return 1;
  }
  // The pids were named by the client in its start request. Only the audit
  // shell that holds the session's connection (pause, continue), or a process
  // it started (kill), is signalled: never a process the client merely named.
  auto isPeer = [peer](int p) { return p == peer; };
  bool owned = peer > 1 && (pid == peer || (subshell && ovg::findAuditedAncestor(pid, isPeer) == peer));
  if (!owned) {
    OFW_WARN(logger_,
             "Refusing to %s pid %d of session %s: it is not the session's audit shell (pid %d) or one of its "
             "processes",
             action, pid, guid.toSwappedMSString().c_str(), peer);
    return 1;
  }
  if (kill(pid, sig) != 0) {
    int err = errno;
    OFW_DEBUG(logger_, "Unable to %s ovgsh session: %s [%d]", action, errnoText(err).c_str(), err);
    return 2;
  }
  return 0;
}

int IPCServer::pauseVuvoSession(const Guid& guid) { return signalShell(guid, false, SIGTSTP, "pause"); }
int IPCServer::continueVuvoSession(const Guid& guid) { return signalShell(guid, false, SIGCONT, "continue"); }
int IPCServer::killVuvoSession(const Guid& guid) { return signalShell(guid, true, SIGKILL, "kill"); }

bool IPCServer::getClientVuvoPID(const Guid& guid, int* pid) {
  Lock lock(clientsLock_);
  for (const ClientPtr& c : clients_)
    if (c->alive.load() && c->sessionOpen && c->sessionGuid == guid) {
      *pid = c->ovgshPid.load();
      return true;
    }
  return false;
}

bool IPCServer::getClientSubshellPID(const Guid& guid, int* pid) {
  Lock lock(clientsLock_);
  for (const ClientPtr& c : clients_)
    if (c->alive.load() && c->sessionOpen && c->sessionGuid == guid) {
      *pid = c->shellPid.load();
      return true;
    }
  return false;
}

bool IPCServer::isClientVuvo(int pid) {
  Lock lock(clientsLock_);
  for (const ClientPtr& c : clients_)
    if (c->ovgshPid.load() == pid) return true;
  return false;
}

Guid IPCServer::getSessionGuid(int pid) {
  pid_t sid = getsid(pid);
  if (sid < 0) throw NotFoundException(format("SID for %ld not found", static_cast<long>(pid)), 0, __FILE__, __LINE__);
  Lock lock(clientsLock_);
  for (const ClientPtr& c : clients_)
    if (c->psid.load() == sid) return c->sessionGuid;
  throw NotFoundException(format("session for %ld not found", static_cast<long>(pid)), 0, __FILE__, __LINE__);
}

void IPCServer::getClientGuids(std::vector<Guid>& out) {
  Lock lock(clientsLock_);
  for (const ClientPtr& c : clients_)
    if (!c->sessionGuid.isNull()) out.push_back(c->sessionGuid);
}

bool IPCServer::hasClientWithSession(const Guid& guid) {
  Lock lock(clientsLock_);
  for (const ClientPtr& c : clients_)
    if (c->alive.load() && c->sessionGuid == guid) return true;
  return false;
}

std::vector<ClientPtr> IPCServer::snapshotClients() {
  Lock lock(clientsLock_);
  return std::vector<ClientPtr>(clients_.begin(), clients_.end());
}

size_t IPCServer::clientCount() {
  Lock lock(clientsLock_);
  return clients_.size();
}

}  // namespace ofw
