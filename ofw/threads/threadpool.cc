#include "ofw/threads/threadpool.h"

#include <cxxabi.h>

#include <exception>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <new>
#include <typeinfo>
#include <vector>

#include "ofw/exceptions.h"

namespace ofw {

namespace {
std::string exceptionType(const std::exception& e) {
  if (const ExceptionDetails* d = dynamic_cast<const ExceptionDetails*>(&e)) return d->typeName();
  int status = 0;
  char* n = abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status);
  std::string s = (status == 0 && n) ? n : typeid(e).name();
  free(n);
  return s;
}
}  // namespace

class ThreadPool::PooledThread : public Thread {
 public:
  explicit PooledThread(ThreadPool* pool) : pool_(pool) {}

  // A cancelled worker leaves the pool's books as an exiting thread.
  void unexpectedTermination() override {
    if (!inDead_.load()) pool_->threadExiting(this);
  }

  void assign(const boost::shared_ptr<Runnable>& shared, Runnable* plain) {
    Lock l(mutex_);
    shared_ = shared;
    plain_ = plain;
    hasTask_ = true;
    mutex_.signalOne();
  }

  void tellShutdown() {
    Lock l(mutex_);
    stop_ = true;
    mutex_.signalOne();
  }

  static void* workerEntry(void* self) {
    static_cast<PooledThread*>(self)->worker();
    return nullptr;
  }

  std::atomic<bool> inDead_{false};  // set under the pool mutex

 private:
  void worker();
  void runTask(Runnable* task);

  ThreadPool* pool_;
  Mutex mutex_;  // the worker sleeps on its condition
  boost::shared_ptr<Runnable> shared_;
  Runnable* plain_ = nullptr;
  bool hasTask_ = false;
  bool stop_ = false;
};

void ThreadPool::PooledThread::runTask(Runnable* task) {
  const LoggerPtr& log = pool_->logger_;
  const char* name = pool_->name_.c_str();
  try {
    if (task) task->run();
  } catch (const std::bad_alloc&) {
    OFW_ERROR(log, "Out of memory at ThreadPool::worker.");
  } catch (const std::exception& e) {
    OFW_ERROR(log, "ThreadPool[%s]: Uncaught exception, type %s in task: %s", name,
              exceptionType(e).c_str(), e.what());
  } catch (...) {
    if (!std::current_exception()) {  // thread cancellation (forced unwinding)
      PrepareCancellationRethrow();
      throw;
    }
    OFW_ERROR(log, "ThreadPool[%s]: Uncaught exception, type %s in task: %s", name, "unknown",
              "unknown");
  }
}

void ThreadPool::PooledThread::worker() {
  const LoggerPtr& log = pool_->logger_;
  const char* name = pool_->name_.c_str();
  for (;;) {
    boost::shared_ptr<Runnable> shared;
    Runnable* plain = nullptr;
    {
      Lock l(mutex_);
      OFW_TRACE(log, "PooledThread::worker[%s]: begin wait", name);
      while (!hasTask_ && !stop_) {
        if (pool_->idleMs_ <= 0) {
          l.wait();
          continue;
        }
        if (l.wait(pool_->idleMs_ / 1000, (pool_->idleMs_ % 1000) * 1000000L)) continue;
        if (hasTask_ || stop_) break;
        // Idle for the whole period. The pool's books decide, without this
        // thread's lock held, since a requester takes the pool's lock first.
        l.unLock();
        const bool retired = pool_->retireIdle(this);
        l.doLock();
        if (retired) return;
      }
      OFW_TRACE(log, "PooledThread::worker[%s]: wait returned", name);
      if (!hasTask_) break;  // told to shut down
      shared.swap(shared_);
      plain = plain_;
      plain_ = nullptr;
      hasTask_ = false;
    }
    OFW_TRACE(log, "PooledThread::worker[%s]: run task", name);
    runTask(shared ? shared.get() : plain);
    OFW_TRACE(log, "PooledThread::worker[%s]: run returned", name);
    shared.reset();
    // A refused thread is already in the dead set: it must not touch the pool again.
    if (!pool_->returnToPool(this)) return;
  }
  pool_->threadExiting(this);
}

ThreadPool::ThreadPool(const std::string& name, int minThreads, int maxThreads, int idleMs)
    : name_(name), minThreads_(minThreads), maxThreads_(maxThreads), idleMs_(idleMs),
      logger_(getLogger("util.threadpool")) {
  if (minThreads <= 0 || minThreads > maxThreads)
    throw InvalidArgumentException("minThreads must be greater than 0 and less than maxThreads.", 0,
                                   __FILE__, __LINE__);
  Lock l(mutex_);
  state_ = STARTING;
  try {
    for (int i = 0; i < minThreads_; ++i) createThread();
  } catch (...) {
    l.unLock();
    shutdown(false);
    throw;
  }
  state_ = RUNNING;
}

ThreadPool::~ThreadPool() {
  try {
    shutdown(false);
  } catch (...) {
  }
}

void ThreadPool::createThread() {
  PooledThread* t = new PooledThread(this);
  try {
    t->start(name_, &PooledThread::workerEntry, t, Thread::DEFAULT_PRIORITY);
  } catch (...) {
    delete t;
    throw;
  }
  OFW_DEBUG(logger_, "Created thread %s", name_.c_str());
  idle_.push_back(t);
  if (state_ == RUNNING) mutex_.signalAll();
}

bool ThreadPool::reapDeadThreads() {
  // Called with the pool mutex held once; joins outside it so that an exiting
  // thread never waits for a reaper that waits for it.
  std::set<PooledThread*> dead;
  dead.swap(dead_);
  if (dead.empty()) return true;
  mutex_.unLock();
  std::vector<PooledThread*> failed;
  for (PooledThread* t : dead) {
    try {
      t->join();
      delete t;
    } catch (...) {
      failed.push_back(t);
    }
  }
  mutex_.lock();
  for (PooledThread* t : failed) dead_.insert(t);
  return failed.empty();
}

ThreadPool::PooledThread* ThreadPool::getAThread() {
  Lock l(mutex_);
  for (;;) {
    if (state_ > RUNNING) throw NoThreadsAvailable("No Threads Available", 0, __FILE__, __LINE__);
    if (!reapDeadThreads()) OFW_WARN(logger_, "ReapDeadThreads failed. Some dead threads remain.");
    if (state_ > RUNNING) continue;
    OFW_TRACE(logger_, "Pool size %ld/%ld, busy size %ld/%ld", static_cast<long>(idle_.size()),
              static_cast<long>(minThreads_), static_cast<long>(busy_.size()),
              static_cast<long>(maxThreads_));
    if (idle_.empty()) {
      bool mustWait = busy_.size() >= static_cast<size_t>(maxThreads_);
      if (!mustWait) {
        try {
          createThread();
        } catch (const SystemException& e) {
          OFW_ERROR(logger_, "ThreadPool[%s]: cannot start a thread: %s", name_.c_str(), e.what());
          if (busy_.empty()) throw NoThreadsAvailable("No Threads Available", 0, __FILE__, __LINE__);
          mustWait = true;  // a busy thread will come back
        }
      }
      if (mustWait) {
        OFW_INFO(logger_, "%ld threads busy. If this happens often, increase max thread count",
                 static_cast<long>(busy_.size()));
        OFW_DEBUG(logger_, "ThreadPool::getAThread: none available, waiting");
        time_t t0 = time(nullptr);
        ++waiting_;
        try {
          l.wait();
        } catch (...) {
          --waiting_;
          throw;
        }
        --waiting_;
        OFW_DEBUG(logger_, "requestor waited %ld seconds for a thread",
                  static_cast<long>(time(nullptr) - t0));
        mutex_.signalAll();  // shutdown may be waiting for the requesters to leave
        continue;
      }
    }
    // The thread idle for the shortest time: surplus ones stay idle long
    // enough to end, and a warm thread serves the next task.
    PooledThread* t = idle_.back();
    idle_.pop_back();
    busy_.insert(t);
    OFW_TRACE(logger_, "ThreadPool::getAThread[%s]: pool -> busy", name_.c_str());
    return t;
  }
}

void ThreadPool::dispatch(const boost::shared_ptr<Runnable>& shared, Runnable* plain) {
  PooledThread* t = getAThread();
  t->assign(shared, plain);
}

void ThreadPool::execute(Runnable* task) { dispatch(boost::shared_ptr<Runnable>(), task); }

void ThreadPool::execute(const boost::shared_ptr<Runnable>& task) { dispatch(task, nullptr); }

bool ThreadPool::returnToPool(PooledThread* t) {
  Lock l(mutex_);
  auto it = busy_.find(t);
  if (it == busy_.end()) {
    OFW_WARN(logger_, "ThreadPool::returnToPool[%s]: was not busy", name_.c_str());
  } else {
    busy_.erase(it);
    if (state_ <= RUNNING && (idleMs_ > 0 || idle_.size() < static_cast<size_t>(minThreads_))) {
      idle_.push_back(t);
      OFW_TRACE(logger_, "ThreadPool::returnToPool[%s]: busy -> pool", name_.c_str());
      mutex_.signalAll();
      return true;
    }
    OFW_DEBUG(logger_, "ThreadPool::returnToPool[%s]: pool full", name_.c_str());
  }
  moveToDeadLocked(t);
  return false;
}

bool ThreadPool::retireIdle(PooledThread* t) {
  Lock l(mutex_);
  if (state_ > RUNNING || idle_.size() + busy_.size() <= static_cast<size_t>(minThreads_)) return false;
  if (std::find(idle_.begin(), idle_.end(), t) == idle_.end()) return false;  // handed a task
  OFW_DEBUG(logger_, "ThreadPool::returnToPool[%s]: pool full", name_.c_str());
  moveToDeadLocked(t);
  return true;
}

void ThreadPool::threadExiting(PooledThread* t) {
  Lock l(mutex_);
  busy_.erase(t);
  moveToDeadLocked(t);
}

void ThreadPool::moveToDeadLocked(PooledThread* t) {
  for (auto i = idle_.begin(); i != idle_.end(); ++i) {
    if (*i == t) {
      idle_.erase(i);
      break;
    }
  }
  t->inDead_.store(true);
  dead_.insert(t);
  mutex_.signalAll();
}

void ThreadPool::shutdown(bool cancelBusy) {
  Lock l(mutex_);
  if (state_ >= SHUTTING_DOWN) {
    while (state_ != SHUT_DOWN) l.wait(0, 100000000L);
    return;
  }
  OFW_DEBUG(logger_, "ThreadPool::shutdown(%d)", cancelBusy ? 1 : 0);
  state_ = SHUTTING_DOWN;
  mutex_.signalAll();
  if (cancelBusy) {
    OFW_DEBUG(logger_, "ThreadPool::shutdown: cancel threads");
    for (PooledThread* t : busy_) t->cancel();
  }
  OFW_DEBUG(logger_, "ThreadPool::shutdown: wait for busy threads");
  while (!busy_.empty() || waiting_ > 0) l.wait(0, 100000000L);
  OFW_DEBUG(logger_, "ThreadPool::shutdown: signal idle threads");
  for (PooledThread* t : idle_) t->tellShutdown();
  OFW_DEBUG(logger_, "ThreadPool::shutdown: wait for idle threads");
  while (!idle_.empty()) l.wait(0, 100000000L);
  for (int attempt = 0; attempt < 100 && !dead_.empty(); ++attempt) {
    if (!reapDeadThreads()) l.wait(0, 10000000L);
  }
  if (!dead_.empty())
    OFW_WARN(logger_, "ThreadPool::shutdown: dead threads remaining: %ld",
             static_cast<long>(dead_.size()));
  OFW_DEBUG(logger_, "ThreadPool::shutdown: done");
  state_ = SHUT_DOWN;
  mutex_.signalAll();
}

int ThreadPool::getState() {
  Lock l(mutex_);
  return state_;
}

size_t ThreadPool::idleCount() {
  Lock l(mutex_);
  return idle_.size();
}

size_t ThreadPool::busyCount() {
  Lock l(mutex_);
  return busy_.size();
}

size_t ThreadPool::deadCount() {
  Lock l(mutex_);
  return dead_.size();
}

size_t ThreadPool::waitingRequesters() {
  Lock l(mutex_);
  return waiting_;
}

}  // namespace ofw
