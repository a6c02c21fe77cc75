// ofw::ThreadPool with an idle period: surplus threads outlive their task and
// end only after staying idle; minThreads always stay.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "ofw/threads/threadpool.h"
#include "support/wait_until.h"

namespace {

using testsupport::waitUntil;

// Holds every thread that runs it until released.
class Blocker : public ofw::Runnable {
 public:
  Blocker() : released_(release_.get_future().share()) {}
  void run() override {
    ++running;
    released_.wait();
  }
  void open() { release_.set_value(); }
  std::atomic<int> running{0};

 private:
  std::promise<void> release_;
  std::shared_future<void> released_;
};

class Count : public ofw::Runnable {
 public:
  void run() override { ++n; }
  std::atomic<int> n{0};
};

// A burst to maxThreads, then a steady trickle: the threads stay (nothing
// dies and nothing is created per task) until the idle period passes, after
// which only minThreads remain.
TEST(ThreadPoolIdle, SurplusThreadsStayForTheIdlePeriodThenEnd) {
  ofw::ThreadPool p("idle", 2, 5, 300);
  Blocker block;
  for (int i = 0; i < 5; ++i) p.execute(&block);
  ASSERT_TRUE(waitUntil([&] { return block.running.load() == 5; }));
  block.open();
  ASSERT_TRUE(waitUntil([&] { return p.busyCount() == 0 && p.idleCount() == 5; }));
  EXPECT_EQ(p.deadCount(), 0u);
  Count count;
  for (int i = 0; i < 50; ++i) {
    p.execute(&count);
    ASSERT_TRUE(waitUntil([&] { return count.n.load() == i + 1 && p.busyCount() == 0; }));
  }
  EXPECT_EQ(p.deadCount(), 0u);
  EXPECT_EQ(p.idleCount() + p.busyCount(), 5u);
  ASSERT_TRUE(waitUntil([&] { return p.idleCount() == 2; }));
  EXPECT_EQ(p.deadCount(), 3u);
  // The ended threads are reaped by the next request, which still runs.
  p.execute(&count);
  EXPECT_EQ(p.deadCount(), 0u);
  EXPECT_TRUE(waitUntil([&] { return count.n.load() == 51; }));
  p.shutdown();
  EXPECT_EQ(p.idleCount() + p.busyCount() + p.deadCount(), 0u);
}

// A thread handed a task just as its idle period ends runs the task: no task
// is lost to a retiring thread.
TEST(ThreadPoolIdle, TasksAtTheEndOfTheIdlePeriodAllRun) {
  ofw::ThreadPool p("edge", 1, 4, 1);
  Count count;
  for (int i = 0; i < 2000; ++i) {
    p.execute(&count);
    if (i % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(900));
  }
  EXPECT_TRUE(waitUntil([&] { return count.n.load() == 2000; }));
  p.shutdown();
  EXPECT_EQ(count.n.load(), 2000);
}

}  // namespace
