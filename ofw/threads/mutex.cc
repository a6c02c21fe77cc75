#include "ofw/threads/mutex.h"

#include <atomic>
#include <cerrno>
#include <ctime>

#include "ofw/exceptions.h"

namespace ofw {

namespace {
std::atomic<bool> gThreadSupport{true};

void check(int rc) {
  if (rc != 0) throw SystemException(withErrno("OS call failed", rc), rc, __FILE__, __LINE__);
}

// nanosleep refuses nanoseconds outside [0, 1e9).
struct timespec normalised(long seconds, long nanoseconds) {
  if (seconds < 0) seconds = 0;
  if (nanoseconds < 0) nanoseconds = 0;
  seconds += nanoseconds / 1000000000L;
  nanoseconds %= 1000000000L;
  struct timespec ts;
  ts.tv_sec = seconds;
  ts.tv_nsec = nanoseconds;
  return ts;
}
}  // namespace

void SetThreadSupport(bool supported) { gThreadSupport.store(supported); }
bool HasThreadSupport() { return gThreadSupport.load(std::memory_order_relaxed); }

Mutex::Mutex() {
  pthread_mutexattr_t attr;
  check(pthread_mutexattr_init(&attr));
  int rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (rc == 0) rc = pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
  check(rc);
  rc = pthread_cond_init(&cond_, nullptr);
  if (rc != 0) {
    pthread_mutex_destroy(&mutex_);
    check(rc);
  }
}

Mutex::~Mutex() {
  pthread_cond_destroy(&cond_);
  pthread_mutex_destroy(&mutex_);
}

void Mutex::lock() {
  if (!HasThreadSupport()) return;
  check(pthread_mutex_lock(&mutex_));
}

void Mutex::unLock() {
  if (!HasThreadSupport()) return;
  check(pthread_mutex_unlock(&mutex_));
}

bool Mutex::tryLock() {
  if (!HasThreadSupport()) return true;
  int rc = pthread_mutex_trylock(&mutex_);
  if (rc == EBUSY) return false;
  check(rc);
  return true;
}

bool Mutex::wait(const struct timespec* abstime) {
  if (!HasThreadSupport()) return true;
  if (!abstime) {
    check(pthread_cond_wait(&cond_, &mutex_));
    return true;
  }
  int rc = pthread_cond_timedwait(&cond_, &mutex_, abstime);
  if (rc == ETIMEDOUT) return false;
  check(rc);
  return true;
}

void Mutex::signalOne() {
  if (!HasThreadSupport()) return;
  check(pthread_cond_signal(&cond_));
}

void Mutex::signalAll() {
  if (!HasThreadSupport()) return;
  check(pthread_cond_broadcast(&cond_));
}

Lock::Lock(Mutex& m) : mutex_(m) { doLock(); }

Lock::Lock(Mutex& m, long seconds, long nanoseconds) : mutex_(m) {
  if (seconds == 0 && nanoseconds == 0) nanoseconds = 10000000L;
  struct timespec interval = normalised(seconds, nanoseconds);
  disableCancel();
  try {
    while (!mutex_.tryLock()) {
      struct timespec rem;
      if (nanosleep(&interval, &rem) != 0 && errno != EINTR) {
        int err = errno;
        throw SystemException(withErrno("OS call failed", err), err, __FILE__, __LINE__);
      }
    }
  } catch (...) {
    restoreCancel();
    throw;
  }
  locked_ = true;
}

Lock::~Lock() {
  try {
    unLock();
  } catch (...) {
  }
}

void Lock::disableCancel() {
  int old = PTHREAD_CANCEL_ENABLE;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
  if (old == PTHREAD_CANCEL_ENABLE) {
    // Take a pending cancellation, if any, before the lock is held.
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    pthread_testcancel();
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  }
  oldCancelState_ = old;
}

void Lock::restoreCancel() { pthread_setcancelstate(oldCancelState_, nullptr); }

void Lock::doLock() {
  if (locked_) return;
  disableCancel();
  try {
    mutex_.lock();
  } catch (...) {
    restoreCancel();
    throw;
  }
  locked_ = true;
}

void Lock::unLock() {
  if (!locked_) return;
  locked_ = false;
  try {
    mutex_.unLock();
  } catch (...) {
    restoreCancel();
    throw;
  }
  restoreCancel();
}

bool Lock::wait(long seconds, long nanoseconds) {
  if (seconds == 0 && nanoseconds == 0) return mutex_.wait(nullptr);
  struct timespec rel = normalised(seconds, nanoseconds);
  struct timespec abs;
  clock_gettime(CLOCK_REALTIME, &abs);
  abs.tv_sec += rel.tv_sec;
  abs.tv_nsec += rel.tv_nsec;
  if (abs.tv_nsec >= 1000000000L) {
    abs.tv_sec += 1;
    abs.tv_nsec -= 1000000000L;
  }
  return mutex_.wait(&abs);
}

}  // namespace ofw
