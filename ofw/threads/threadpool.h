// A pool of worker threads that run Runnable tasks.
//
// The pool starts minThreads workers and grows to at most maxThreads; a request
// for a thread while maxThreads are busy waits until one returns. Without an
// idle period, a worker that finished its task goes back to the idle list only
// while that list holds fewer than minThreads threads; otherwise it ends. With
// an idle period, every worker goes back to the idle list, and a thread beyond
// minThreads ends once it stayed idle for that period (so a steady load above
// minThreads does not create and end a thread per task). An ended thread is
// reaped (joined and freed) at the next request or at shutdown. An exception
// thrown by a task is logged and never ends its worker. Every record goes to
// the logger "util.threadpool".
#pragma once
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <deque>
#include <set>
#include <string>

#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"
#include "ofw/threads/thread.h"

namespace ofw {

class ThreadPool {
 public:
  enum State { STARTING = 0, RUNNING = 1, SHUTTING_DOWN = 2, SHUT_DOWN = 3 };

  // Requires 0 < minThreads <= maxThreads, otherwise throws
  // InvalidArgumentException "minThreads must be greater than 0 and less than
  // maxThreads.". Starts minThreads threads (SystemException when one cannot
  // be started; the threads already started are stopped first).
  // idleMs > 0: threads beyond minThreads end after idleMs milliseconds idle.
  ThreadPool(const std::string& name, int minThreads, int maxThreads, int idleMs = 0);
  // Calls shutdown(false).
  virtual ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Hands the task to an idle thread, creating one or waiting for one as the
  // limits require. Throws NoThreadsAvailable "No Threads Available" once
  // shutdown began. The plain pointer must stay valid until the task ran; the
  // shared pointer keeps its task alive until then.
  void execute(Runnable* task);
  void execute(const boost::shared_ptr<Runnable>& task);

  // Refuses further tasks, optionally cancels the busy threads, waits for the
  // busy threads to finish, stops the idle ones and joins every thread.
  void shutdown(bool cancelBusy = false);
  int getState();

  const std::string& getName() const { return name_; }
  int getMinThreads() const { return minThreads_; }
  int getMaxThreads() const { return maxThreads_; }
  // Snapshot counts (monitoring and tests).
  size_t idleCount();
  size_t busyCount();
  size_t deadCount();
  size_t waitingRequesters();

  class PooledThread;

 private:
  friend class PooledThread;
  PooledThread* getAThread();
  void createThread();
  bool returnToPool(PooledThread* thread);
  // An idle surplus thread whose idle period passed: true when it left the
  // pool's books and must end (false: it was handed a task meanwhile, or it
  // is needed to keep minThreads).
  bool retireIdle(PooledThread* thread);
  void threadExiting(PooledThread* thread);
  // Takes the thread off the idle list into the dead set and wakes the
  // waiters; mutex_ held.
  void moveToDeadLocked(PooledThread* thread);
  bool reapDeadThreads();
  void dispatch(const boost::shared_ptr<Runnable>& shared, Runnable* plain);

  std::string name_;
  int minThreads_;
  int maxThreads_;
  int idleMs_;
  int state_ = STARTING;
  Mutex mutex_;  // pool bookkeeping; its condition wakes requesters and shutdown
  std::deque<PooledThread*> idle_;
  std::set<PooledThread*> busy_;
  std::set<PooledThread*> dead_;
  size_t waiting_ = 0;
  LoggerPtr logger_;
};

}  // namespace ofw
