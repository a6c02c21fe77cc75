#include "server/ipc_server.h"

#include "ofw/dbq/dbq_sync.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "lrpc2/header.h"
#include "ofw/dbq/dbq_sync.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/config/properties.h"
#include "ofw/resource_limits.h"
#include "server/process_info.h"
#include "server/client_io.h"
#include "lrpc2/session.h"

namespace ofw {

IPCServer* gServer = nullptr;

namespace {

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
      server_->dropClient(session_);
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

// The uid of the process at the other end of a connected socket; -1 when unknown.
int peerUid(int fd) {
  struct ucred cred;
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return -1;
  return static_cast<int>(cred.uid);
}

// Connections accepted in one go before the loop serves the others.
constexpr int kAcceptBatch = 64;

// How long a surplus pool worker waits idle before it ends.
constexpr int kSurplusWorkerIdleMs = 60 * 1000;

}  // namespace

IPCServer::IPCServer(const std::string& path) : socketPath_(path), logger_(getLogger("ovg.vgd.ipcserver")) {
  unlink(path.c_str());
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);  // accepted in batches
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
  wakeFd_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wakeFd_) fail("OS call failed");
  userLookup_.reset(new ovg::UserLookup(CapiDynamicLoader::getInstance(), Props()));
}

IPCServer::~IPCServer() {
  if (pool_) pool_->shutdown(false);
  pool_.reset();
  waiting_.clear();
  // The daemon stops: connections close, their audited sessions stay open for
  // the shells to resume on the next daemon.
  for (const ClientPtr& c : snapshotClients()) c->closeConnection(false);
  {
    Lock lock(clientsLock_);
    clients_.clear();
  }
  for (auto& n : negotiating_) closeNegotiating(n);
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
  recordsOnLoop_ = configuredSpoolSync().mode == SpoolSyncPolicy::NONE;
  readPollFdsSetting();
  maxPerUid_ = props.getInt("vgd.clients.max.per.uid", 256);
  if (maxPerUid_ < 1) {
    OFW_ERROR(logger_, "Illegal value for %s: %d. Using %d", "vgd.clients.max.per.uid", maxPerUid_, 256);
    maxPerUid_ = 256;
  }
}

void IPCServer::readPollFdsSetting() {
  int configured = readDecimalKey("vgd.poll.fds", 2048);
  if (configured < 1) configured = 1;
  pollFdsSetting_ = std::min<size_t>(static_cast<size_t>(configured), 65536);
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
  // Workers beyond vgd.threadpool.size stay for a while after a burst, so a
  // steady load above that size does not start and end a thread per request.
  pool_.reset(new ThreadPool("IPCServer", size, max, kSurplusWorkerIdleMs));
  maxWorkers_ = max;

  loopRunning_ = true;

  bool pollFailed = false;
  while (!flags_.stop.load()) {
    try {
      time_t now = time(nullptr);
      // The time-outs count whole seconds: the client list is walked for them
      // once a second, not once per request.
      if (now != lastExpiry_ || pollFailed || flags_.purgeIdle.load()) {
        lastExpiry_ = now;
        expireOldClients(minIdle_, idle_, pollFailed, flags_.purgeIdle.load());
        expireNegotiating(now);
        checkStalledClients(now);
      }
      dispatchWaiting();
      size_t count = initPollFds();
      int ready = ::poll(pollFds_.data(), static_cast<nfds_t>(count), held_.empty() ? pollTimeoutMs_ : 0);
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
      serveHeld();
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
        readPollFdsSetting();
        recordsOnLoop_ = configuredSpoolSync().mode == SpoolSyncPolicy::NONE;
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
  // One write per poll round is enough: the loop reads the eventfd and then
  // clears the flag before it looks at the clients again, so a change made
  // before a skipped write is seen.
  if (!loopRunning_.load() || wakePending_.exchange(true)) return;
  const uint64_t one = 1;
  if (write(wakeFd_.get(), &one, sizeof one) < 0) wakePending_ = false;
}

size_t IPCServer::initPollFds() {
  Lock lock(clientsLock_);
  size_t wanted = 2 + negotiating_.size() + clients_.size();
  size_t capacity = std::max<size_t>(wanted, pollFdsSetting_);
  if (pollFds_.size() < capacity) pollFds_.resize(capacity);
  std::memset(pollFds_.data(), 0, sizeof(struct pollfd) * capacity);
  polledClients_.clear();
  held_.clear();
  size_t n = 0;
  // Out of descriptors: the listening socket stays readable while accept
  // fails, so it is left out until a connection closes or a second passed.
  bool accepting = !fdsExhausted_ || fdFreed_.exchange(false) || time(nullptr) >= acceptRetry_;
  pollFds_[n].fd = accepting ? listenFd_ : -1;
  pollFds_[n].events = POLLIN;
  ++n;
  for (const Negotiating& neg : negotiating_) {
    pollFds_[n].fd = neg.fd;
    pollFds_[n].events = POLLIN;
    ++n;
  }
  polledNegotiating_ = negotiating_.size();
  for (const ClientPtr& c : clients_) {
    int fd = c->fd.load();
    if (c->busy.load() || fd < 0 || fd == listenFd_) continue;
    ovg::ClientIO& io = c->io();
    // A whole request waits for a worker (a worker ending wakes the loop);
    // pending output is written before the next request is read.
    if (io.requestComplete()) continue;
    // The next request came with the last one's read: it is served without
    // waiting for the socket.
    if (!io.outputPending() && io.holdsWholeRequest(c->getVersion())) {
      held_.push_back(c);
      continue;
    }
    // Bytes of a next request read with the last one start its time-out.
    if (c->partialSince == 0 && io.requestStarted() && !io.outputPending()) c->partialSince = time(nullptr);
    OFW_TRACE(logger_, "Add fd %d to poll index %d", fd, static_cast<int>(n));
    pollFds_[n].fd = fd;
    pollFds_[n].events = io.outputPending() ? POLLOUT : POLLIN;
    polledClients_.push_back(c);
    ++n;
  }
  wakeIndex_ = n;
  pollFds_[n].fd = wakeFd_.get();
  pollFds_[n].events = POLLIN;
  ++n;
  OFW_TRACE(logger_, "Number of fd to poll: %d.", static_cast<int>(n));
  return n;
}

void IPCServer::serviceCommunications(int ready, size_t count) {
  time_t now = time(nullptr);
  if (wakeIndex_ < count && pollFds_[wakeIndex_].revents) {
    // Read before the flag is cleared: a wake written after the clear must
    // stay readable for the next poll.
    uint64_t wakes;
    while (read(wakeFd_.get(), &wakes, sizeof wakes) > 0) {
    }
    wakePending_ = false;
    --ready;
  }
  if (pollFds_[0].fd >= 0 && (pollFds_[0].revents & POLLIN)) {
    OFW_TRACE(logger_, "vgd listening socket fd %d is ready", listenFd_);
    acceptClients(now);
    --ready;
  }
  // Handshakes with bytes (or a hang-up) to read. Only the first
  // polledNegotiating_ entries were polled: connections accepted just now
  // come after them.
  const size_t negCount = polledNegotiating_;
  {
    std::vector<size_t> stepped;
    for (size_t i = 0; i < negCount && 1 + i < count; ++i) {
      if (!pollFds_[1 + i].revents) continue;
      --ready;
      stepped.push_back(i);
    }
    // From the back so indexes stay valid while entries are erased.
    for (auto it = stepped.rbegin(); it != stepped.rend(); ++it) stepNegotiation(*it);
  }
  size_t first = 1 + negCount;
  for (size_t i = 0; i < polledClients_.size() && first + i < count; ++i) {
    const struct pollfd& p = pollFds_[first + i];
    const ClientPtr c = polledClients_[i];
    if (!p.revents || !c->alive.load()) continue;
    --ready;
    if (p.revents & POLLOUT) {
      writeClient(c, now);
    } else if (p.revents & POLLIN) {
      readClient(c, now);
    } else {
      OFW_DEBUG(logger_, "fd %d returns unexpected event 0x%x", p.fd, p.revents);
      OFW_DEBUG(logger_, "Removing client (fd:%d), as unexpected event was returned.", p.fd);
      dropClient(c);
    }
  }
  polledClients_.clear();
  if (ready < 0) OFW_DEBUG(logger_, "more clients had their descriptors set than poll() indicated");
  dispatchWaiting();
}

void IPCServer::serveHeld() {
  if (held_.empty()) return;
  std::vector<ClientPtr> held;
  held.swap(held_);
  time_t now = time(nullptr);
  for (const ClientPtr& c : held)
    if (c->alive.load() && !c->busy.load()) readClient(c, now);
  dispatchWaiting();
}

void IPCServer::readClient(const ClientPtr& c, time_t now) {
  switch (c->io().readAvailable(c->fd.load(), c->getVersion())) {
    case ovg::ClientIO::Input::Complete:
      c->partialSince = 0;
      if (!answerOnLoop(c)) waiting_.push_back(c);
      return;
    case ovg::ClientIO::Input::Partial:
      if (c->partialSince == 0 && c->io().requestStarted()) c->partialSince = now;
      return;
    case ovg::ClientIO::Input::Closed:
      OFW_DEBUG(logger_, "client disconnected normally");
      break;
    case ovg::ClientIO::Input::Failed: {
      int err = errno;
      OFW_WARN(logger_, "Unable to read from client on %d, err: %d (%s).  Disconnecting client.", c->fd.load(), err,
               errnoText(err).c_str());
      break;
    }
  }
  dropClient(c);
}

template <class Step>
bool IPCServer::guarded(const ClientPtr& session, Step&& step) {
  try {
    step();
    return true;
  } catch (const ClientException&) {
  } catch (const std::bad_alloc&) {
    OFW_WARN(logger_, "Out of memory--disconnecting client.");
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "%s--disconnecting client.", e.what());
  } catch (...) {
    OFW_WARN(logger_, "Disconnecting client");
  }
  dropClient(session);
  return false;
}

bool IPCServer::answerOnLoop(const ClientPtr& c) {
  // A session's record costs about what storing it costs; a worker would add
  // two thread switches to that. Synced commits stay with the workers, as a
  // sync can take longer than every other client should wait.
  if (!recordsOnLoop_ || !c->sessionOpen || c->authPending()) return false;
  bool received = guarded(c, [&] {
    if (c->receiveRequest() != 0) dropClient(c);
  });
  if (!received || !c->alive.load() || !c->hasPendingRequest()) return true;
  if (!c->pendingIsRecord()) return false;
  execute(c, 1);
  Logger::SetThreadName("main");
  return true;
}

void IPCServer::writeClient(const ClientPtr& c, time_t now) {
  if (c->io().flush(c->fd.load(), now) == ovg::ClientIO::Output::Failed) {
    OFW_DEBUG(logger_, "Client (fd=%d) did not take its reply. Removing.", c->fd.load());
    dropClient(c);
  }
}

void IPCServer::dispatchWaiting() {
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (!(*it)->alive.load()) {
      it = waiting_.erase(it);
      continue;
    }
    if (pool_ && inFlight_.load() >= maxWorkers_) return;  // a worker ending wakes the loop
    ClientPtr keep = *it;
    it = waiting_.erase(it);
    serviceOneClient(keep);
  }
}

void IPCServer::checkStalledClients(time_t now) {
  std::vector<ClientPtr> stalled;
  {
    Lock lock(clientsLock_);
    for (const ClientPtr& c : clients_) {
      if (c->busy.load() || !c->alive.load()) continue;
      if (c->partialSince != 0 && now - c->partialSince >= partialTimeout_) {
        OFW_INFO(logger_, "Client (fd=%d) sent an incomplete request and nothing more for %d seconds. Removing.",
                 c->fd.load(), partialTimeout_);
        stalled.push_back(c);
      } else if (c->io().outputPending() && now - c->io().outputSince() >= partialTimeout_) {
        OFW_INFO(logger_, "Client (fd=%d) did not read its reply for %d seconds. Removing.", c->fd.load(),
                 partialTimeout_);
        stalled.push_back(c);
      }
    }
  }
  for (const ClientPtr& c : stalled) dropClient(c);
}

void IPCServer::acceptClients(time_t now) {
  for (int i = 0; i < kAcceptBatch; ++i) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      if (err == EMFILE || err == ENFILE) {
        if (!fdsExhausted_)
          OFW_WARN(logger_,
                   "The number of open files reached the limitation. Need to increase the limitation, then restart vgd to take effect.");
        fdsExhausted_ = true;
        acceptRetry_ = now + 1;
      } else if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
        OFW_DEBUG(logger_, "Uncaught exception while accepting socket: accept new client (errno=%d)", err);
      }
      return;
    }
    if (fdsExhausted_) {
      OFW_INFO(logger_, "Descriptors are available again: accepting new clients.");
      fdsExhausted_ = false;
    }
    int uid = peerUid(fd);
    if (!admit(fd, uid)) {
      close(fd);
      continue;
    }
    int signing = SignStringToSignSetting(Props().getProperty("lrpc2.message.signing", "disabled").c_str());
    SessionAcceptState* state = SessionAcceptBegin(fd, fd, connectTimeout_, OVGPrivGetMsgTable(), signing);
    if (!state) {
      OFW_WARN(logger_, "Out of memory--disconnecting client.");
      close(fd);
      releaseUid(uid);
      continue;
    }
    OFW_DEBUG(logger_, "Accepted new client on fd = %d", fd);
    negotiating_.push_back(Negotiating{fd, uid, now, state});
  }
}

bool IPCServer::admit(int fd, int uid) {
  Lock lock(clientsLock_);
  int& open = perUid_[uid];
  if (uid != 0 && open >= maxPerUid_) {
    if (capped_.insert(uid).second)
      OFW_WARN(logger_, "uid %d holds %d connections, the most %s allows; further ones are closed (fd %d).", uid,
               open, "vgd.clients.max.per.uid", fd);
    return false;
  }
  ++open;
  return true;
}

void IPCServer::releaseUid(int uid) {
  {
    Lock lock(clientsLock_);
    auto it = perUid_.find(uid);
    if (it != perUid_.end()) {
      // Half the cap ends a refusal episode: a uid that keeps reconnecting
      // at its cap is not logged once per connection.
      if (--it->second <= maxPerUid_ / 2) capped_.erase(uid);
      if (it->second <= 0) perUid_.erase(it);
    }
  }
  fdFreed_ = true;
}

void IPCServer::closeNegotiating(Negotiating& n) {
  SessionAcceptFree(n.state);
  n.state = nullptr;
  close(n.fd);
  releaseUid(n.uid);
}

void IPCServer::stepNegotiation(size_t index) {
  Negotiating n = negotiating_[index];
  LRPC2SessionServer* lrpc = nullptr;
  int status = 0, offered = 0;
  int outcome = SessionAcceptStep(n.state, &lrpc, &status, &offered);
  if (outcome == SESSION_ACCEPT_PENDING) {
    // A hang-up before the hello is complete reads as end of file (a failed
    // step); anything else waits for more bytes.
    return;
  }
  negotiating_.erase(negotiating_.begin() + static_cast<long>(index));
  if (outcome != SESSION_ACCEPT_DONE) {
    OFW_ERROR(logger_, "Failed to accept lrpc2 session on fd: %d error: %s", n.fd,
              LRPC2ServerSession::acceptFailure(n.fd, status, offered).c_str());
    closeNegotiating(n);
    return;
  }
  SessionAcceptFree(n.state);
  ClientPtr session;
  try {
    session.reset(new LRPC2ServerSession(this));
  } catch (const std::bad_alloc&) {
    SessionServerClose(lrpc);
    close(n.fd);
    releaseUid(n.uid);
    throw;
  }
  session->adopt(n.fd, lrpc);
  session->connUid = n.uid;
  OFW_DEBUG(logger_, "LRPC2 session accepted for fd = %d", n.fd);
  Lock lock(clientsLock_);
  clients_.push_back(session);
}

void IPCServer::expireNegotiating(time_t now) {
  for (auto it = negotiating_.begin(); it != negotiating_.end();) {
    if (now - it->since >= connectTimeout_) {
      OFW_DEBUG(logger_, "Client on fd %d did not complete its handshake within %d seconds. Removing.", it->fd,
                connectTimeout_);
      closeNegotiating(*it);
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
  session->busy = true;
  ++inFlight_;
  try {
    pool_->execute(boost::shared_ptr<Runnable>(new IPCClientTask(this, session, &inFlight_)));
  } catch (const std::exception& e) {
    --inFlight_;
    session->busy = false;
    OFW_WARN(logger_, "%s--disconnecting client.", e.what());
    dropClient(session);
  }
}

void IPCServer::execute(const ClientPtr& session, int maxRequests) {
  int fd = session->fd.load();
  Logger::SetThreadName(fd, "client");
  guarded(session, [&] { serve(session, fd, maxRequests); });
}

void IPCServer::serve(const ClientPtr& session, int fd, int maxRequests) {
  ovg::ClientIO& io = session->io();
  for (int handled = 0;; ++handled) {
    if (!io.requestComplete() && !session->hasPendingRequest()) {
      ovg::ClientIO::Input in = io.readAvailable(fd, session->getVersion());
      if (handled > 0 && in != ovg::ClientIO::Input::Complete) {
        // Nothing more is buffered: the loop takes the client back (and
        // finds a hang-up itself).
        if (in == ovg::ClientIO::Input::Partial && io.requestStarted() && session->partialSince == 0)
          session->partialSince = time(nullptr);
        return;
      }
      if (in == ovg::ClientIO::Input::Partial) return;
      if (in != ovg::ClientIO::Input::Complete) {
        OFW_DEBUG(logger_, "client disconnected normally");
        dropClient(session);
        return;
      }
      session->partialSince = 0;
    }
    OFW_TRACE(logger_, "handling incoming client message for fd:%d", fd);
    if (session->HandleMessage() != 0) {
      dropClient(session);
      return;
    }
    time_t now = time(nullptr);
    session->lastActivity = now;
    // A secure-file exchange goes on with the client's next message,
    // within the time-out of a partial request.
    if (session->authPending() && session->partialSince == 0) session->partialSince = now;
    const ovg::ClientIO::Output out = io.flush(fd, now);
    if (out == ovg::ClientIO::Output::Failed) {
      OFW_DEBUG(logger_, "Client (fd=%d) did not take its reply. Removing.", fd);
      dropClient(session);
      return;
    }
    OFW_TRACE(logger_, "task complete");
    // A whole next request already sent on this connection is handled at
    // once, without a round through the loop; a few at most, so that one
    // busy client does not keep a worker from the others.
    if (out == ovg::ClientIO::Output::Pending || session->authPending() || handled + 1 >= maxRequests ||
        !session->alive.load())
      return;
  }
}

void IPCServer::dropClient(const ClientPtr& session) {
  session->alive = false;
  bool listed = false;
  {
    Lock lock(clientsLock_);
    for (auto it = clients_.begin(); it != clients_.end(); ++it)
      if (*it == session) {
        clients_.erase(it);
        listed = true;
        break;
      }
  }
  // Removed from the list before its descriptor closes, so that no look-up
  // reads a descriptor number that may already be reused.
  session->closeConnection();
  if (listed) releaseUid(session->connUid);
}

void IPCServer::expireOldClients(int minIdle, int idle, bool pollFailed, bool purgeIdle) {
  if (idle == 0) return;
  time_t now = time(nullptr);
  std::vector<ClientPtr> gone;
  {
    Lock lock(clientsLock_);
    for (const ClientPtr& c : clients_) {
      int fd = c->fd.load();
      if (c->busy.load()) continue;
      if (fd == -1) {
        OFW_DEBUG(logger_, "Server wrapper disconnected itself. Removing the client.");
        OFW_INFO(logger_, "Client (fd=%d) went bad. Removing.", fd);
        gone.push_back(c);
        continue;
      }
      if (pollFailed && fd >= 0) {
        struct stat st;
        if (fstat(fd, &st) != 0) {
          int err = errno;
          OFW_WARN(logger_, "fstat fd %d failed with %d (%s)", fd, err, errnoText(err).c_str());
          OFW_INFO(logger_, "Client (fd=%d) went bad. Removing.", fd);
          gone.push_back(c);
          continue;
        }
      }
      if (!c->alive.load()) {
        OFW_INFO(logger_, "Client (fd=%d) is no longer alive. Removing.", fd);
        gone.push_back(c);
        continue;
      }
      time_t last = c->lastActivity.load();
      if (last < now - idle) {
        OFW_INFO(logger_, "No activity for at least %d seconds from client (fd=%d). Removing.", idle, fd);
        gone.push_back(c);
      } else if (purgeIdle && last < now - minIdle) {
        OFW_INFO(logger_, "No activity for at least %d seconds from client (fd=%d). Removing aggressively.", minIdle, fd);
        gone.push_back(c);
      }
    }
  }
  for (const ClientPtr& c : gone) dropClient(c);
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
