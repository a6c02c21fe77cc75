// Named POSIX threads.
//
// A Thread object is created before its thread and must outlive it: join() it
// (the destructor joins a thread that was neither joined nor detached). While
// the start function runs, Thread::getSelf() on that thread returns the object.
//
// Thread::start reads two configuration keys: `ofw.clients.threads.stacksize`
// (bytes, used when > 0) and `ofw.clients.threads.priority` ("true", "yes" or
// "1" selects first-in-first-out real-time scheduling at the given priority).
// The new thread learns its own identity itself (pthread_self) and never waits
// for its creator, so a FIFO thread pinned to the creator's processor cannot
// starve the creator before it stored the id.
#pragma once
#include <pthread.h>

#include <atomic>
#include <string>

#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"

namespace ofw {

// A unit of work.
class Runnable {
 public:
  virtual ~Runnable();
  virtual void run() = 0;
};

class Thread {
 public:
  typedef void* (*StartFunction)(void*);
  static constexpr int DEFAULT_PRIORITY = 50;

  Thread();
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Called on the thread itself when it is cancelled (or an exception escapes
  // the start function); the running flag is cleared afterwards.
  virtual void unexpectedTermination();

  // Creates and starts the thread. Throws SystemException ("OS call failed:
  // <error text>", code = error number) when a POSIX call fails, and
  // AlreadyException when this object already started a thread.
  void start(const std::string& name, StartFunction function, void* argument,
             int priority = DEFAULT_PRIORITY);
  // Waits for the thread to end; does nothing if already joined (or never started).
  void join();
  void detach();
  void cancel();
  static void yield();
  // The Thread object of the calling thread, nullptr on a thread not started here.
  static Thread* getSelf();

  // Returns true when the full time elapsed, false when a signal interrupted the
  // sleep. A cancellation point before and after the sleep.
  static bool sleep(long seconds, long nanoseconds);
  // The last three are converted as ((ms * 1000) + us) * 1000 + ns nanoseconds.
  static bool sleep(long seconds, long milliseconds, long microseconds, long nanoseconds);

  // Pins the calling thread, and every thread started afterwards, to one
  // processor (the first one of the calling thread's current set) when true;
  // false restores the set found at the first call.
  static void SetMonoProcessor(bool mono);
  // Decided once per process; when false every mutex operation is a no-op.
  static bool DetermineThreadSupport();
  // true adds one active thread, false resets the count to zero.
  static void SetThreadsActive(bool active);
  static int GetThreadsActive();

  const std::string& getName() const { return name_; }
  bool isRunning() const { return running_.load(); }
  bool isStarted() const { return started_.load(); }
  pthread_t getId();

 private:
  static void* entry(void* self);
  static void cleanup(void* self);

  std::string name_;
  StartFunction function_ = nullptr;
  void* argument_ = nullptr;
  Mutex stateMutex_;  // guards id_, joined_, detached_
  pthread_t id_{};
  std::atomic<bool> started_{false};
  std::atomic<bool> running_{false};
  bool joined_ = false;
  bool detached_ = false;
  LoggerPtr logger_;
};

// Call in a catch (...) handler just before rethrowing a thread cancellation
// (a foreign exception: std::current_exception() is empty). Under
// AddressSanitizer the frames the cancellation unwound leave stale stack
// poisoning that the sanitizer's own rethrow path trips over; this clears it.
// Does nothing in other builds.
void PrepareCancellationRethrow();

}  // namespace ofw
