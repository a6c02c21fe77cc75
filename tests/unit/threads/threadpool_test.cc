// ofw::ThreadPool: limits, bursts, idle threads kept and ended after their
// idle period, shutdown, failing tasks.
#include "ofw/threads/threadpool.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <boost/weak_ptr.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "../logging/log_test_util.h"
#include "ofw/exceptions.h"
#include "support/raised.h"
#include "support/wait_until.h"

namespace {

using testsupport::waitUntil;

// A gate the tasks wait at until the test opens it.
class Gate {
 public:
  void wait() {
    std::unique_lock<std::mutex> l(m_);
    ++waiting_;
    cv_.wait(l, [this] { return open_; });
    --waiting_;
  }
  void open() {
    std::lock_guard<std::mutex> l(m_);
    open_ = true;
    cv_.notify_all();
  }
  int waiting() {
    std::lock_guard<std::mutex> l(m_);
    return waiting_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
  int waiting_ = 0;
};

class Task : public ofw::Runnable {
 public:
  Task(Gate* gate, std::atomic<int>* done) : gate_(gate), done_(done) {}
  void run() override {
    if (gate_) gate_->wait();
    ++*done_;
  }

 private:
  Gate* gate_;
  std::atomic<int>* done_;
};

TEST(ThreadPool, BadLimitsAreRefused) {
  for (auto limits : {std::make_pair(0, 1), {0, 0}, {-1, 3}, {3, 2}, {5, 1}})
    EXPECT_EQ(testsupport::raised<ofw::InvalidArgumentException>(
                  [&] { ofw::ThreadPool p("bad", limits.first, limits.second); })
                  .what,
              "minThreads must be greater than 0 and less than maxThreads.")
        << limits.first << "/" << limits.second;
}

// Requests from many threads at once: minThreads start at once, every task
// runs once, a second shutdown does nothing.
TEST(ThreadPool, ManyProducers) {
  ofw::ThreadPool p("many", 2, 4);
  EXPECT_EQ(p.getState(), ofw::ThreadPool::RUNNING);
  EXPECT_EQ(p.idleCount(), 2u);
  std::atomic<int> done{0};
  Task t(nullptr, &done);
  std::vector<std::thread> producers;
  for (int i = 0; i < 6; ++i)
    producers.emplace_back([&] {
      for (int j = 0; j < 300; ++j) p.execute(&t);
    });
  for (auto& th : producers) th.join();
  EXPECT_TRUE(waitUntil([&] { return done.load() == 1800; }));
  p.shutdown();
  EXPECT_EQ(p.getState(), ofw::ThreadPool::SHUT_DOWN);
  EXPECT_EQ(p.busyCount() + p.idleCount() + p.deadCount(), 0u);
  p.shutdown();
}

// A burst to maxThreads: one request more waits until a thread is free; after
// the burst at most minThreads stay idle and the next request reaps the rest.
TEST(ThreadPool, BurstBeyondMaxBlocksThenKeepsMinThreads) {
  ofw::ThreadPool p("burst", 2, 4);
  Gate gate;
  std::atomic<int> done{0};
  Task t(&gate, &done);
  for (int i = 0; i < 4; ++i) p.execute(&t);
  ASSERT_TRUE(waitUntil([&] { return gate.waiting() == 4; }));
  EXPECT_EQ(p.busyCount(), 4u);
  std::atomic<bool> fifthReturned{false};
  std::thread requester([&] {
    p.execute(&t);
    fifthReturned = true;
  });
  ASSERT_TRUE(waitUntil([&] { return p.waitingRequesters() == 1; }));
  EXPECT_FALSE(fifthReturned.load());  // blocked: all four threads are busy
  EXPECT_EQ(gate.waiting(), 4);
  gate.open();
  requester.join();
  EXPECT_TRUE(waitUntil([&] { return done.load() == 5 && p.busyCount() == 0; }));
  // A second burst with nobody waiting: the surplus threads end and wait to be reaped.
  Gate second;
  Task t2(&second, &done);
  for (int i = 0; i < 4; ++i) p.execute(&t2);
  ASSERT_TRUE(waitUntil([&] { return second.waiting() == 4; }));
  second.open();
  EXPECT_TRUE(waitUntil([&] { return done.load() == 9 && p.busyCount() == 0; }));
  EXPECT_EQ(p.idleCount(), 2u);
  EXPECT_EQ(p.idleCount() + p.deadCount(), 4u);
  std::atomic<int> more{0};
  Task quick(nullptr, &more);
  p.execute(&quick);
  EXPECT_EQ(p.deadCount(), 0u);
  EXPECT_TRUE(waitUntil([&] { return more.load() == 1; }));
}

TEST(ThreadPool, ExecuteAfterShutdownRaisesNoThreadsAvailable) {
  ofw::ThreadPool p("down", 1, 2);
  p.shutdown();
  std::atomic<int> done{0};
  Task t(nullptr, &done);
  EXPECT_EQ(testsupport::raised<ofw::NoThreadsAvailable>([&] { p.execute(&t); }).what, "No Threads Available");
  EXPECT_THROW(p.execute(boost::shared_ptr<ofw::Runnable>(new Task(nullptr, &done))), std::runtime_error);
  EXPECT_EQ(done.load(), 0);
}

TEST(ThreadPool, WaitingRequesterIsReleasedByShutdown) {
  ofw::ThreadPool p("release", 1, 1);
  Gate gate;
  std::atomic<int> done{0};
  Task t(&gate, &done);
  p.execute(&t);
  waitUntil([&] { return gate.waiting() == 1; });
  std::atomic<int> outcome{0};
  std::thread requester([&] {
    outcome = testsupport::raised<ofw::NoThreadsAvailable>([&] { p.execute(&t); }).any ? 2 : 1;
  });
  waitUntil([&] { return p.waitingRequesters() == 1; });
  std::thread stopper([&] { p.shutdown(); });
  waitUntil([&] { return outcome.load() != 0; });
  EXPECT_EQ(outcome.load(), 2);
  gate.open();
  stopper.join();
  requester.join();
  EXPECT_EQ(p.getState(), ofw::ThreadPool::SHUT_DOWN);
  EXPECT_EQ(done.load(), 1);
}

class Thrower : public ofw::Runnable {
 public:
  explicit Thrower(int kind) : kind_(kind) {}
  void run() override {
    if (kind_ == 0) throw ofw::IOException("disk gone");
    if (kind_ == 1) throw std::runtime_error("plain");
    if (kind_ == 2) throw std::bad_alloc();
    throw 42;
  }

 private:
  int kind_;
};

class SelfRecorder : public ofw::Runnable {
 public:
  void run() override {
    std::lock_guard<std::mutex> l(m);
    ids.insert(pthread_self());
    ++count;
  }
  std::mutex m;
  std::set<pthread_t> ids;
  int count = 0;
};

TEST(ThreadPool, ExceptionInTaskDoesNotKillTheWorker) {
  logtest::LogCapture log;
  {
    ofw::ThreadPool p("single", 1, 1);
    SelfRecorder rec;
    p.execute(&rec);
    for (int k = 0; k < 4; ++k) {
      p.execute(boost::shared_ptr<ofw::Runnable>(new Thrower(k)));
      p.execute(&rec);
    }
    waitUntil([&] {
      std::lock_guard<std::mutex> l(rec.m);
      return rec.count == 5;
    });
    std::lock_guard<std::mutex> l(rec.m);
    EXPECT_EQ(rec.count, 5);
    EXPECT_EQ(rec.ids.size(), 1u);  // the same worker ran every task
  }
  for (const char* text : {"ERROR ThreadPool[single]: Uncaught exception, type IOException in task: disk gone",
                           "ERROR ThreadPool[single]: Uncaught exception, type std::runtime_error in task: plain",
                           "ERROR Out of memory at ThreadPool::worker.",
                           "ERROR ThreadPool[single]: Uncaught exception, type unknown in task: unknown"})
    EXPECT_EQ(log.count(text), 1) << text;
}

TEST(ThreadPool, ShutdownCancelsBusyThreads) {
  ofw::ThreadPool p("cancel", 2, 2);
  // Cancelled at pthread_testcancel: ThreadSanitizer loses track of locks taken
  // after a cancellation inside one of its intercepted calls (nanosleep), which
  // would hide real races in this test behind false reports.
  struct Forever : ofw::Runnable {
    std::atomic<int> started{0};
    void run() override {
      ++started;
      for (;;) {
        pthread_testcancel();
        sched_yield();
      }
    }
  } forever;
  p.execute(&forever);
  p.execute(&forever);
  waitUntil([&] { return forever.started.load() == 2; });
  p.shutdown(true);
  EXPECT_EQ(p.getState(), ofw::ThreadPool::SHUT_DOWN);
  EXPECT_EQ(p.busyCount() + p.idleCount() + p.deadCount(), 0u);
}

TEST(ThreadPool, SharedTaskLivesUntilItRan) {
  ofw::ThreadPool p("shared", 1, 2);
  std::atomic<int> done{0};
  boost::weak_ptr<ofw::Runnable> weak;
  {
    boost::shared_ptr<ofw::Runnable> task(new Task(nullptr, &done));
    weak = task;
    p.execute(task);
  }
  EXPECT_TRUE(waitUntil([&] { return done.load() == 1 && weak.expired(); }));
}

// A burst to maxThreads, then a steady trickle: the threads stay (nothing
// dies and nothing is created per task) until the idle period passes, after
// which only minThreads remain.
TEST(ThreadPoolIdle, SurplusThreadsStayForTheIdlePeriodThenEnd) {
  ofw::ThreadPool p("idle", 2, 5, 300);
  Gate gate;
  std::atomic<int> n{0};
  Task blocked(&gate, &n), count(nullptr, &n);
  for (int i = 0; i < 5; ++i) p.execute(&blocked);
  ASSERT_TRUE(waitUntil([&] { return gate.waiting() == 5; }));
  gate.open();
  ASSERT_TRUE(waitUntil([&] { return p.busyCount() == 0 && p.idleCount() == 5; }));
  EXPECT_EQ(p.deadCount(), 0u);
  for (int i = 0; i < 50; ++i) {
    p.execute(&count);
    ASSERT_TRUE(waitUntil([&] { return n.load() == i + 6 && p.busyCount() == 0; }));
  }
  EXPECT_EQ(p.deadCount(), 0u);
  EXPECT_EQ(p.idleCount() + p.busyCount(), 5u);
  ASSERT_TRUE(waitUntil([&] { return p.idleCount() == 2; }));
  EXPECT_EQ(p.deadCount(), 3u);
  // The ended threads are reaped by the next request, which still runs.
  p.execute(&count);
  EXPECT_EQ(p.deadCount(), 0u);
  EXPECT_TRUE(waitUntil([&] { return n.load() == 56; }));
  p.shutdown();
  EXPECT_EQ(p.idleCount() + p.busyCount() + p.deadCount(), 0u);
}

// A thread handed a task just as its idle period ends runs the task: no task
// is lost to a retiring thread.
TEST(ThreadPoolIdle, TasksAtTheEndOfTheIdlePeriodAllRun) {
  ofw::ThreadPool p("edge", 1, 4, 1);
  std::atomic<int> n{0};
  Task count(nullptr, &n);
  for (int i = 0; i < 2000; ++i) {
    p.execute(&count);
    if (i % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(900));
  }
  EXPECT_TRUE(waitUntil([&] { return n.load() == 2000; }));
  p.shutdown();
  EXPECT_EQ(n.load(), 2000);
}

}  // namespace
