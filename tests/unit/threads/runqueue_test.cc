// ofw::RunQueue: capacity, shutdown, order, failing items, interruption, dedup.
#include "ofw/threads/runqueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "../logging/log_test_util.h"
#include "ofw/exceptions.h"
#include "support/raised.h"
#include "support/wait_until.h"

namespace {

using testsupport::raised;
using testsupport::waitUntil;

struct Journal {
  std::mutex m;
  std::vector<int> ran;
  void add(int v) {
    std::lock_guard<std::mutex> l(m);
    ran.push_back(v);
  }
  std::vector<int> get() {
    std::lock_guard<std::mutex> l(m);
    return ran;
  }
};

class Item : public ofw::QueueAble {
 public:
  Item(Journal* j, int v, bool dedup = false, int key = 0) : j_(j), v_(v), dedup_(dedup), key_(key) {}
  void run() override {
    if (v_ < 0) throw ofw::IOException("item failed");
    j_->add(v_);
  }
  bool dedupMe() const override { return dedup_; }
  bool isDuplicateOf(const ofw::QueueAble& other) const override {
    const Item* o = dynamic_cast<const Item*>(&other);
    return o && o->dedup_ && o->key_ == key_;
  }
  std::string describe() const override { return "item " + std::to_string(key_); }

 private:
  Journal* j_;
  int v_;
  bool dedup_;
  int key_;
};

ofw::QueueAblePtr item(Journal* j, int v) { return ofw::QueueAblePtr(new Item(j, v)); }

// Runs the queue on an ofw::Thread until it is interrupted.
struct Consumer {
  explicit Consumer(ofw::RunQueue* q) : q_(q) { t_.start("consumer", &main, this); }
  ~Consumer() { t_.join(); }
  static void* main(void* self) {
    Consumer* c = static_cast<Consumer*>(self);
    try {
      c->q_->runQueue(0);
    } catch (const ofw::QueueInterrupted&) {
      c->interrupted = true;
    }
    return nullptr;
  }
  ofw::RunQueue* q_;
  ofw::Thread t_;
  std::atomic<bool> interrupted{false};
};

// A full queue raises at once (capacity 0: no limit); a closing one refuses.
TEST(RunQueue, FullOrClosingQueueRefuses) {
  ofw::RunQueue q("full", 3), unbounded("unbounded", 0);
  Journal j;
  for (int i = 0; i < 3; ++i) q.post(item(&j, i));
  EXPECT_EQ(raised<ofw::BufferFullException>([&] { q.post(item(&j, 3)); }).what, "runqueue full 3");
  EXPECT_THROW(q.post(item(&j, 3)), std::out_of_range);
  EXPECT_EQ(q.tryPost(item(&j, 3)), ofw::RunQueue::FULL);
  EXPECT_EQ(q.size(), 3u);
  for (int i = 0; i < 10000; ++i) unbounded.post(item(&j, i));
  EXPECT_EQ(unbounded.size(), 10000u);
  q.shutdown(nullptr);
  EXPECT_TRUE(q.isShuttingDown());
  EXPECT_EQ(raised<ofw::EndOfFileException>([&] { q.post(item(&j, 1)); }).what, "Queue is shutting down");
  EXPECT_EQ(q.tryPost(item(&j, 1)), ofw::RunQueue::SHUTTING_DOWN);
}

TEST(RunQueue, ConsumerRunsItemsInOrderAndSurvivesFailures) {
  ofw::RunQueue q("order", 0);
  Journal j;
  {
    Consumer c(&q);
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p)
      producers.emplace_back([&q, &j, p] {
        for (int i = 0; i < 500; ++i) {
          q.post(item(&j, p * 1000 + i));
          if (i % 100 == 0) q.post(item(&j, -1));  // fails: logged, the loop goes on
        }
      });
    for (auto& t : producers) t.join();
    waitUntil([&] { return j.get().size() == 2000u; });
    q.shutdown(&c.t_);
    EXPECT_TRUE(c.interrupted.load());
  }
  std::vector<int> ran = j.get();
  ASSERT_EQ(ran.size(), 2000u);
  std::vector<int> next(4, 0);
  for (int v : ran) {
    int p = v / 1000;
    EXPECT_EQ(v % 1000, next[p]) << "producer " << p;
    next[p] = v % 1000 + 1;
  }
}

TEST(RunQueue, InterruptEndsTheConsumerWithItemsLeft) {
  ofw::RunQueue q("interrupt", 0);
  Journal j;
  struct Blocker : ofw::QueueAble {
    std::atomic<bool> entered{false}, release{false};
    void run() override {
      entered = true;
      while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  boost::shared_ptr<Blocker> blocker(new Blocker);
  q.post(blocker);
  Consumer c(&q);
  waitUntil([&] { return blocker->entered.load(); });
  q.post(item(&j, 1));
  q.post(item(&j, 2));
  q.interrupt();
  blocker->release = true;
  c.t_.join();
  EXPECT_TRUE(c.interrupted.load());
  EXPECT_TRUE(j.get().empty());
  std::deque<ofw::QueueAblePtr> rest = q.takeAll();
  ASSERT_EQ(rest.size(), 2u);
  for (auto& r : rest) r->run();
  EXPECT_EQ(j.get(), (std::vector<int>{1, 2}));
  EXPECT_TRUE(q.isEmpty());
}

TEST(RunQueue, DuplicatesReplaceQueuedItems) {
  ofw::RunQueue q("dedup", 2);
  Journal j;
  q.post(ofw::QueueAblePtr(new Item(&j, 1, true, 7)));
  q.post(ofw::QueueAblePtr(new Item(&j, 2, false, 0)));
  q.post(ofw::QueueAblePtr(new Item(&j, 3, true, 7)));  // replaces the first: no overflow
  EXPECT_EQ(q.size(), 2u);
  for (auto& r : q.takeAll()) r->run();
  EXPECT_EQ(j.get(), (std::vector<int>{2, 3}));
}

TEST(RunQueue, ConsumerMustBeAnOfwThread) {
  logtest::LogCapture log;
  ofw::RunQueue q("orphan", 0);
  q.runQueue(0);  // returns at once on a thread without a Thread object
  EXPECT_EQ(log.count("WARN Unable to retrieve thread object."), 1);
}

TEST(RunQueue, FullQueueWarningOnlyForQueuesThatAreNotSilent) {
  logtest::LogCapture log;
  for (bool silent : {false, true}) {
    ofw::RunQueue q(silent ? "quiet" : "loud", 1, silent);
    Journal j;
    q.post(item(&j, 1));
    EXPECT_EQ(q.tryPost(item(&j, 2)), ofw::RunQueue::FULL);
    Consumer c(&q);
    waitUntil([&] { return j.get().size() == 1u; });
    q.shutdown(&c.t_);
  }
  EXPECT_EQ(log.count("WARN loud queue is full.  You may need to increase the value of logger.queue.size in "
                      "orvanevg.conf."),
            1);
  EXPECT_EQ(log.countContaining("quiet queue"), 0);
}

TEST(RunQueue, IdleHandlerRunsWhenTheQueueRunsEmpty) {
  ofw::RunQueue q("idle", 0);
  std::atomic<int> idles{0};
  q.setIdleHandler([&idles] { ++idles; });
  Journal j;
  Consumer c(&q);
  waitUntil([&] { return idles.load() >= 1; });
  q.post(item(&j, 1));
  EXPECT_TRUE(waitUntil([&] { return idles.load() >= 2; }));
  EXPECT_EQ(j.get(), std::vector<int>{1});
  q.shutdown(&c.t_);
}

}  // namespace
