#include "ofw/threads/runqueue.h"

#include <cxxabi.h>

#include <exception>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "ofw/exceptions.h"
#include "ofw/format.h"

namespace ofw {

RunQueue::RunQueue(const std::string& name, size_t capacity, bool silent)
    : name_(name), capacity_(capacity), silent_(silent), logger_(getLogger("util.runqueue")) {}

RunQueue::~RunQueue() = default;

RunQueue::PostResult RunQueue::tryPost(const QueueAblePtr& item) {
  Lock l(mutex_);
  if (goingDown_) return SHUTTING_DOWN;
  if (item && item->dedupMe()) {
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      if (*it && item->isDuplicateOf(**it)) {
        std::string what = (*it)->describe();
        items_.erase(it);
        if (!silent_) OFW_DEBUG(logger_, "removed duplicate request %s", what.c_str());
        break;
      }
    }
  }
  if (capacity_ > 0 && items_.size() >= capacity_) {
    fullSeen_ = true;
    return FULL;
  }
  items_.push_back(item);
  if (consumerWaiting_) mutex_.signalAll();  // a busy consumer finds the item without a wake-up
  return POSTED;
}

void RunQueue::post(const QueueAblePtr& item) {
  switch (tryPost(item)) {
    case POSTED:
      return;
    case SHUTTING_DOWN:
      throw EndOfFileException("Queue is shutting down", 0, __FILE__, __LINE__);
    case FULL:
      throw BufferFullException(format("runqueue full %ld", static_cast<long>(capacity_)), 0,
                                __FILE__, __LINE__, !silent_);
  }
}

void RunQueue::raiseConsumerPriority() {
  int policy = 0;
  struct sched_param sp;
  if (pthread_getschedparam(pthread_self(), &policy, &sp) != 0) return;
  if (policy == SCHED_FIFO || policy == SCHED_RR) {
    if (sp.sched_priority < sched_get_priority_max(policy)) {
      sp.sched_priority += 1;
      pthread_setschedparam(pthread_self(), policy, &sp);
    }
    return;
  }
  // Time-shared threads: one nice step up for this thread only (Linux keeps a
  // nice value per thread). Failure leaves the priority as it is.
  pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice - 1);
}

void RunQueue::runQueue(long timeoutSeconds) {
  if (!Thread::getSelf()) {
    OFW_WARN(logger_, "Unable to retrieve thread object.");
    return;
  }
  if (silent_) raiseConsumerPriority();
  Lock l(mutex_);
  bool idleDone = false;
  for (;;) {
    if (fullSeen_) {
      fullSeen_ = false;
      if (!silent_) {
        l.unLock();
        OFW_WARN(logger_, "%s queue is full.  You may need to increase the value of %s in orvanevg.conf.",
                 name_.c_str(), "logger.queue.size");
        l.doLock();
      }
    }
    if (interrupted_) {
      interrupted_ = false;
      throw QueueInterrupted("Queue " + name_ + " interrupted", 0, __FILE__, __LINE__);
    }
    if (items_.empty()) {
      if (idle_ && !idleDone) {
        std::function<void()> idle = idle_;
        idleDone = true;
        l.unLock();
        idle();
        l.doLock();
        continue;
      }
      consumerWaiting_ = true;
      bool signalled;
      try {
        signalled = timeoutSeconds > 0 ? l.wait(timeoutSeconds, 0) : l.wait();
      } catch (...) {
        consumerWaiting_ = false;
        throw;
      }
      consumerWaiting_ = false;
      if (!signalled) idleDone = false;  // a timed-out wait runs the idle handler again
      continue;
    }
    QueueAblePtr item = items_.front();
    items_.pop_front();
    idleDone = false;
    l.unLock();
    try {
      if (item) item->run();
    } catch (const std::exception& e) {
      if (!silent_) OFW_DEBUG(logger_, "unhandled exception %s", e.what());
    } catch (...) {
      if (!std::current_exception()) {  // thread cancellation (forced unwinding)
        PrepareCancellationRethrow();
        throw;
      }
      if (!silent_) OFW_DEBUG(logger_, "unhandled exception %s", "of unknown type");
    }
    item.reset();
    l.doLock();
  }
}

void RunQueue::interrupt() {
  Lock l(mutex_);
  interrupted_ = true;
  mutex_.signalAll();
}

void RunQueue::shutdown(Thread* thread) {
  {
    Lock l(mutex_);
    goingDown_ = true;
  }
  interrupt();
  if (thread) thread->join();
}

std::deque<QueueAblePtr> RunQueue::takeAll() {
  Lock l(mutex_);
  std::deque<QueueAblePtr> out;
  out.swap(items_);
  return out;
}

void RunQueue::setIdleHandler(std::function<void()> handler) {
  Lock l(mutex_);
  idle_ = std::move(handler);
}

bool RunQueue::isEmpty() {
  Lock l(mutex_);
  return items_.empty();
}

size_t RunQueue::size() {
  Lock l(mutex_);
  return items_.size();
}

bool RunQueue::isShuttingDown() {
  Lock l(mutex_);
  return goingDown_;
}

}  // namespace ofw
