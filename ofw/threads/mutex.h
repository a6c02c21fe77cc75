// A recursive mutex with its own condition variable, and the scoped lock that
// switches thread cancellation off while it is held.
//
// Every POSIX failure raises ofw::SystemException "OS call failed: <error text>"
// with the error number as its code. When the process has no thread support
// (decided once by Thread::DetermineThreadSupport) every operation is a no-op.
#pragma once
#include <pthread.h>
#include <time.h>

namespace ofw {

// Process-wide thread support flag (true until Thread::DetermineThreadSupport
// decides otherwise).
void SetThreadSupport(bool supported);
bool HasThreadSupport();

class Mutex {
 public:
  Mutex();
  virtual ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  virtual void lock();
  virtual void unLock();
  virtual bool tryLock();
  // Waits on the condition; the mutex must be held exactly once by the caller
  // (a recursive hold would not be released by the wait). With an absolute
  // CLOCK_REALTIME time returns false on time-out; without, waits until signalled.
  // Spurious wake-ups are possible: callers re-check their predicate.
  bool wait(const struct timespec* abstime = nullptr);
  void signalOne();
  void signalAll();

 private:
  pthread_mutex_t mutex_;
  pthread_cond_t cond_;
};

class Lock {
 public:
  // Blocking lock.
  explicit Lock(Mutex& m);
  // Polling lock: tryLock every (seconds, nanoseconds); 0/0 means 10 ms. A
  // sleep interrupted by a signal retries.
  Lock(Mutex& m, long seconds, long nanoseconds);
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void doLock();
  void unLock();
  // Waits on the mutex's condition for at most the given time (0/0 = forever).
  // Returns false on time-out.
  bool wait(long seconds = 0, long nanoseconds = 0);
  bool isLocked() const { return locked_; }

 private:
  void disableCancel();
  void restoreCancel();
  Mutex& mutex_;
  int oldCancelState_ = PTHREAD_CANCEL_ENABLE;
  bool locked_ = false;
};

}  // namespace ofw
