#include "ofw/threads/thread.h"

#include <cxxabi.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include <exception>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <typeinfo>

#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/config/properties.h"

namespace ofw {

namespace {

void check(int rc) {
  if (rc != 0) throw SystemException(withErrno("OS call failed", rc), rc, __FILE__, __LINE__);
}

pthread_key_t gSelfKey;
pthread_once_t gSelfKeyOnce = PTHREAD_ONCE_INIT;
void makeSelfKey() { pthread_key_create(&gSelfKey, nullptr); }
pthread_key_t selfKey() {
  pthread_once(&gSelfKeyOnce, makeSelfKey);
  return gSelfKey;
}

// Processor pinning shared by SetMonoProcessor and start().
struct Affinity {
  std::mutex mutex;
  bool haveOriginal = false;
  cpu_set_t original;
  bool mono = false;
  cpu_set_t monoSet;
};
Affinity& affinity() {
  static Affinity* a = new Affinity;
  return *a;
}

struct ActiveCount {
  Mutex mutex;
  int count = 0;
};
ActiveCount& activeCount() {
  static ActiveCount* a = new ActiveCount;
  return *a;
}

bool isTrueText(std::string v) {
  for (char& c : v) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return v == "true" || v == "yes" || v == "1";
}

struct Attr {
  pthread_attr_t attr;
  Attr() { check(pthread_attr_init(&attr)); }
  ~Attr() { pthread_attr_destroy(&attr); }
};

std::string typeNameOf(const std::exception& e) {
  int status = 0;
  char* d = abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status);
  std::string s = (status == 0 && d) ? d : typeid(e).name();
  free(d);
  return s;
}

}  // namespace

Runnable::~Runnable() = default;

#if defined(__SANITIZE_ADDRESS__)
__attribute__((noinline)) void PrepareCancellationRethrow() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_destroy(&attr);
  char here;
  uintptr_t from = reinterpret_cast<uintptr_t>(low);
  uintptr_t to = reinterpret_cast<uintptr_t>(&here) - 64;
  if (low && to > from) __asan_unpoison_memory_region(low, to - from);
}
#else
void PrepareCancellationRethrow() {}
#endif

Thread::Thread() : logger_(getLogger("util.thread")) {}

Thread::~Thread() {
  bool mustJoin = false;
  bool self = false;
  {
    Lock l(stateMutex_);
    if (started_.load() && !joined_ && !detached_) {
      self = pthread_equal(pthread_self(), id_) != 0;
      mustJoin = true;
    }
  }
  try {
    if (mustJoin && self)
      detach();
    else if (mustJoin)
      join();
  } catch (...) {
  }
}

void Thread::unexpectedTermination() {}

pthread_t Thread::getId() {
  Lock l(stateMutex_);
  return id_;
}

void Thread::start(const std::string& name, StartFunction function, void* argument, int priority) {
  if (started_.exchange(true))
    throw AlreadyException("Thread " + name_ + " already started", 0, __FILE__, __LINE__);
  name_ = name;
  function_ = function;
  argument_ = argument;
  try {
    Attr attr;
    int stackSize = Props().getInt("ofw.clients.threads.stacksize", 0);
    if (stackSize > 0) {
      if (pthread_attr_setstacksize(&attr.attr, static_cast<size_t>(stackSize)) != 0)
        OFW_WARN(logger_, "Failed to set the thread stack size, using system default");
      else
        OFW_DEBUG(logger_, "Set the pthread stack size to %d", stackSize);
    }
    bool fifo = isTrueText(Props().getProperty("ofw.clients.threads.priority", "false"));
    if (fifo) {
      check(pthread_attr_setinheritsched(&attr.attr, PTHREAD_EXPLICIT_SCHED));
      check(pthread_attr_setschedpolicy(&attr.attr, SCHED_FIFO));
      struct sched_param sp;
      memset(&sp, 0, sizeof sp);
      int lo = sched_get_priority_min(SCHED_FIFO), hi = sched_get_priority_max(SCHED_FIFO);
      sp.sched_priority = priority < lo ? lo : priority > hi ? hi : priority;
      check(pthread_attr_setschedparam(&attr.attr, &sp));
    }
    {
      Affinity& a = affinity();
      std::lock_guard<std::mutex> g(a.mutex);
      if (a.mono) check(pthread_attr_setaffinity_np(&attr.attr, sizeof a.monoSet, &a.monoSet));
    }
    pthread_t id;
    int rc;
    {
      // The new thread may already run (and read id_) before pthread_create
      // returns; both sides store the same value under the state mutex.
      Lock l(stateMutex_);
      rc = pthread_create(&id, &attr.attr, &Thread::entry, this);
      if (rc == EPERM && fifo) {
        // No privilege for real-time scheduling: run with the default policy
        // rather than not at all.
        OFW_WARN(logger_, "Real-time scheduling refused for thread %s: %s. Using the default policy.",
                 name.c_str(), errnoText(rc).c_str());
        check(pthread_attr_setinheritsched(&attr.attr, PTHREAD_INHERIT_SCHED));
        rc = pthread_create(&id, &attr.attr, &Thread::entry, this);
      }
      if (rc == 0) id_ = id;
    }
    check(rc);
  } catch (...) {
    started_.store(false);
    throw;
  }
}

void* Thread::entry(void* p) {
  Thread* t = static_cast<Thread*>(p);
  {
    Lock l(t->stateMutex_);
    t->id_ = pthread_self();
  }
  pthread_setspecific(selfKey(), t);
  t->running_.store(true);
  void* result = nullptr;
  pthread_cleanup_push(&Thread::cleanup, t);
  try {
    result = t->function_(t->argument_);
  } catch (const std::exception& e) {
    OFW_ERROR(t->logger_, "Thread %s: uncaught exception, type %s: %s", t->name_.c_str(),
              typeNameOf(e).c_str(), e.what());
  } catch (...) {
    // Thread cancellation unwinds as a foreign exception: let it go on so that
    // the clean-up handler runs.
    if (!std::current_exception()) {
      PrepareCancellationRethrow();
      throw;
    }
    OFW_ERROR(t->logger_, "Thread %s: uncaught exception of unknown type", t->name_.c_str());
  }
  pthread_cleanup_pop(0);
  pthread_setspecific(selfKey(), nullptr);
  t->running_.store(false);
  return result;
}

void Thread::cleanup(void* p) {
  Thread* t = static_cast<Thread*>(p);
  try {
    t->unexpectedTermination();
  } catch (...) {
  }
  pthread_setspecific(selfKey(), nullptr);
  t->running_.store(false);
}

void Thread::join() {
  pthread_t id;
  {
    Lock l(stateMutex_);
    if (!started_.load() || joined_ || detached_) return;
    joined_ = true;
    id = id_;
  }
  int rc = pthread_join(id, nullptr);
  if (rc != 0) {
    Lock l(stateMutex_);
    joined_ = false;
    check(rc);
  }
}

void Thread::detach() {
  pthread_t id;
  {
    Lock l(stateMutex_);
    if (!started_.load() || joined_ || detached_) return;
    detached_ = true;
    id = id_;
  }
  check(pthread_detach(id));
}

void Thread::cancel() {
  pthread_t id;
  {
    Lock l(stateMutex_);
    if (!started_.load() || joined_) return;
    id = id_;
  }
  int rc = pthread_cancel(id);
  if (rc != 0 && rc != ESRCH) check(rc);
}

void Thread::yield() { sched_yield(); }

Thread* Thread::getSelf() { return static_cast<Thread*>(pthread_getspecific(selfKey())); }

bool Thread::sleep(long seconds, long nanoseconds) {
  if (seconds < 0) seconds = 0;
  if (nanoseconds < 0) nanoseconds = 0;
  struct timespec ts;
  ts.tv_sec = seconds + nanoseconds / 1000000000L;
  ts.tv_nsec = nanoseconds % 1000000000L;
  pthread_testcancel();
  int rc = nanosleep(&ts, nullptr);
  int err = errno;
  pthread_testcancel();
  if (rc == 0) return true;
  if (err == EINTR) return false;
  throw SystemException(withErrno("OS call failed", err), err, __FILE__, __LINE__);
}

bool Thread::sleep(long seconds, long milliseconds, long microseconds, long nanoseconds) {
  return sleep(seconds, ((milliseconds * 1000) + microseconds) * 1000 + nanoseconds);
}

void Thread::SetMonoProcessor(bool mono) {
  Affinity& a = affinity();
  std::lock_guard<std::mutex> g(a.mutex);
  if (!a.haveOriginal) {
    CPU_ZERO(&a.original);
    check(pthread_getaffinity_np(pthread_self(), sizeof a.original, &a.original));
    a.haveOriginal = true;
  }
  if (!mono) {
    a.mono = false;
    check(pthread_setaffinity_np(pthread_self(), sizeof a.original, &a.original));
    return;
  }
  int first = -1;
  for (int i = 0; i < CPU_SETSIZE; ++i) {
    if (CPU_ISSET(i, &a.original)) {
      first = i;
      break;
    }
  }
  if (first < 0) return;
  CPU_ZERO(&a.monoSet);
  CPU_SET(first, &a.monoSet);
  check(pthread_setaffinity_np(pthread_self(), sizeof a.monoSet, &a.monoSet));
  a.mono = true;
}

bool Thread::DetermineThreadSupport() {
  static const bool supported = [] {
    bool s = sysconf(_SC_THREADS) > 0;
    SetThreadSupport(s);
    return s;
  }();
  return supported;
}

void Thread::SetThreadsActive(bool active) {
  ActiveCount& a = activeCount();
  Lock l(a.mutex);
  if (active)
    ++a.count;
  else
    a.count = 0;
}

int Thread::GetThreadsActive() {
  ActiveCount& a = activeCount();
  Lock l(a.mutex);
  return a.count;
}

}  // namespace ofw
