// A named, bounded first-in-first-out queue of work items with one consumer
// thread.
//
// Producers post() items; the consumer calls runQueue() from an ofw::Thread and
// runs the items one after the other, in posting order. A capacity of 0 means
// unbounded. A silent queue never logs its own failures (the log queue must not
// log into itself).
#pragma once
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>

#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"
#include "ofw/threads/thread.h"

namespace ofw {

// An item that can be posted to a run queue.
class QueueAble : public Runnable {
 public:
  // When true, post() replaces a queued item for which isDuplicateOf() holds
  // instead of adding this one a second time.
  virtual bool dedupMe() const { return false; }
  virtual bool isDuplicateOf(const QueueAble& other) const { return false; }
  // Text used in log records about the item.
  virtual std::string describe() const { return "request"; }
};
typedef boost::shared_ptr<QueueAble> QueueAblePtr;

class RunQueue {
 public:
  enum PostResult { POSTED = 0, FULL = 1, SHUTTING_DOWN = 2 };

  RunQueue(const std::string& name, size_t capacity = 0, bool silent = false);
  ~RunQueue();
  RunQueue(const RunQueue&) = delete;
  RunQueue& operator=(const RunQueue&) = delete;

  // Appends the item and wakes the consumer. Throws EndOfFileException "Queue is
  // shutting down" after shutdown() began, BufferFullException "runqueue full
  // %ld" when the queue holds its capacity of items.
  void post(const QueueAblePtr& item);
  // The same without exceptions.
  PostResult tryPost(const QueueAblePtr& item);

  // The consumer loop; the calling thread must be an ofw::Thread (otherwise WARN
  // "Unable to retrieve thread object." and return). Each wait for an item lasts
  // at most timeoutSeconds (0 = no limit); the idle handler, when set, runs
  // whenever the queue has just run empty and after every timed-out wait. Ends
  // by throwing QueueInterrupted when interrupt() was called; items still queued
  // stay queued (see takeAll()).
  void runQueue(long timeoutSeconds = 0);
  // Sets the interrupted flag and wakes the consumer.
  void interrupt();
  // Marks the queue going down, interrupts it and joins the consumer thread.
  void shutdown(Thread* thread);

  // Removes and returns every queued item (used to run the rest after shutdown).
  std::deque<QueueAblePtr> takeAll();
  void setIdleHandler(std::function<void()> handler);

  bool isEmpty();
  size_t size();
  bool isShuttingDown();
  const std::string& getName() const { return name_; }
  size_t getCapacity() const { return capacity_; }

 private:
  void raiseConsumerPriority();

  std::string name_;
  std::deque<QueueAblePtr> items_;
  Mutex mutex_;
  size_t capacity_;
  bool interrupted_ = false;
  bool goingDown_ = false;
  bool silent_;
  bool fullSeen_ = false;
  bool consumerWaiting_ = false;  // the consumer sleeps on the condition
  std::function<void()> idle_;
  LoggerPtr logger_;
};

}  // namespace ofw
