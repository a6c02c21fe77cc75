// ofw::Thread: start, identity, join, cancel, sleep and signals, stack size
// and scheduling keys, processor pinning; ofw::Mutex and ofw::Lock.
#include "ofw/threads/thread.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "ofw/exceptions.h"
#include "ofw/threads/mutex.h"
#include "ofw/config/properties.h"
#include "support/wait_until.h"

namespace {

using testsupport::waitUntil;
using Body = std::function<void()>;

// Starts t running *body, which must outlive the run.
void startBody(ofw::Thread& t, const char* name, Body* body) {
  t.start(name, [](void* b) -> void* {
    (*static_cast<Body*>(b))();
    return nullptr;
  }, body);
}

TEST(Thread, StartRunsFunctionWithItsObject) {
  EXPECT_EQ(ofw::Thread::getSelf(), nullptr);
  std::atomic<ofw::Thread*> self{nullptr};
  std::atomic<bool> running{false};
  pthread_t id{};
  Body body = [&] {
    self = ofw::Thread::getSelf();
    running = self.load()->isRunning();
    id = pthread_self();
  };
  ofw::Thread t;
  startBody(t, "worker", &body);
  t.join();
  EXPECT_EQ(self.load(), &t);
  EXPECT_TRUE(running.load());
  EXPECT_FALSE(t.isRunning());
  EXPECT_EQ(t.getName(), "worker");
  EXPECT_TRUE(pthread_equal(t.getId(), id));
  t.join();  // a second join does nothing
  EXPECT_THROW(startBody(t, "again", &body), ofw::AlreadyException);
}

TEST(Thread, DestructorJoinsAndADetachedThreadRuns) {
  std::atomic<int> done{0};
  Body slow = [&] {
    ofw::Thread::sleep(0, 20000000);
    ++done;
  };
  Body quick = [&] { ++done; };
  {
    ofw::Thread t;
    startBody(t, "short", &slow);
  }
  EXPECT_EQ(done.load(), 1);
  auto t = std::make_unique<ofw::Thread>();
  startBody(*t, "detached", &quick);
  t->detach();
  EXPECT_TRUE(waitUntil([&] { return done.load() == 2 && !t->isRunning(); }));
}

class Cancellable : public ofw::Thread {
 public:
  std::atomic<int> terminations{0};
  void unexpectedTermination() override { ++terminations; }
};

TEST(Thread, ExceptionInStartFunctionEndsOnlyThatThread) {
  ofw::Thread t;
  t.start("thrower", [](void*) -> void* { throw ofw::IOException("boom"); }, nullptr);
  t.join();
  EXPECT_FALSE(t.isRunning());
}

volatile sig_atomic_t gSignals = 0;
void onSignal(int) { gSignals = gSignals + 1; }

TEST(Thread, SleepInterruptedBySignalReturnsFalse) {
  struct sigaction sa, old;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal;  // no SA_RESTART
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);
  std::atomic<int> result{-1};
  std::atomic<bool> finished{false};
  ofw::Thread t;
  Body sleeper = [&] {
    result = ofw::Thread::sleep(600, 0) ? 1 : 0;
    finished = true;
  };
  startBody(t, "sleeper", &sleeper);
  // Signal until the sleep notices (a signal before the sleep began is harmless).
  while (!finished.load()) {
    pthread_kill(t.getId(), SIGUSR2);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  t.join();
  sigaction(SIGUSR2, &old, nullptr);
  EXPECT_EQ(result.load(), 0);
  EXPECT_GE(gSignals, 1);
  EXPECT_TRUE(ofw::Thread::sleep(0, 1000));
  EXPECT_TRUE(ofw::Thread::sleep(0, 0, 1, 500));  // 1 ms + 500 ns
  EXPECT_TRUE(ofw::Thread::sleep(0, 1000001000L));  // nanoseconds beyond one second are carried
}

// ------------------------------------------------------------------ configuration keys

class ThreadKeys : public ::testing::Test {
 protected:
  void TearDown() override {
    ofw::Props().setProperty("ofw.clients.threads.stacksize", "0");
    ofw::Props().setProperty("ofw.clients.threads.priority", "false");
  }
};

struct AttrSeen {
  long cpuNs = 0;  // processor time the thread had used when its function began
  size_t stack = 0;
  int policy = -1;
  int priority = -1;
  int cpus = 0;
};

void* recordAttr(void* arg) {
  AttrSeen* s = static_cast<AttrSeen*>(arg);
  struct timespec cpu;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
  s->cpuNs = cpu.tv_sec * 1000000000L + cpu.tv_nsec;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &s->stack);
    pthread_attr_destroy(&attr);
  }
  struct sched_param sp;
  pthread_getschedparam(pthread_self(), &s->policy, &sp);
  s->priority = sp.sched_priority;
  cpu_set_t set;
  CPU_ZERO(&set);
  pthread_getaffinity_np(pthread_self(), sizeof set, &set);
  s->cpus = CPU_COUNT(&set);
  return nullptr;
}

AttrSeen runAndRecord() {
  AttrSeen s;
  ofw::Thread t;
  t.start("attr", &recordAttr, &s, 50);
  t.join();
  return s;
}

// Whether this process may create first-in-first-out threads at all.
bool fifoPermitted() {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
  pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
  struct sched_param sp;
  sp.sched_priority = 1;
  pthread_attr_setschedparam(&attr, &sp);
  pthread_t id;
  int rc = pthread_create(&id, &attr, [](void*) -> void* { return nullptr; }, nullptr);
  pthread_attr_destroy(&attr);
  if (rc == 0) pthread_join(id, nullptr);
  return rc == 0;
}

TEST_F(ThreadKeys, StackSize) {
  ofw::Props().setProperty("ofw.clients.threads.stacksize", "1048576");
  EXPECT_EQ(runAndRecord().stack, 1048576u);
  // Below the system minimum: refused, the thread still starts with the default.
  ofw::Props().setProperty("ofw.clients.threads.stacksize", "100");
  EXPECT_GT(runAndRecord().stack, 100u);
}

struct PriorityCase {
  const char* value;
  bool fifo;
};
class PriorityKey : public ThreadKeys, public ::testing::WithParamInterface<PriorityCase> {};

TEST_P(PriorityKey, SelectsFifoOnlyForTrueValues) {
  ofw::Props().setProperty("ofw.clients.threads.priority", GetParam().value);
  AttrSeen s = runAndRecord();
  if (GetParam().fifo && fifoPermitted()) {
    EXPECT_EQ(s.policy, SCHED_FIFO);
    EXPECT_EQ(s.priority, 50);
  } else {
    EXPECT_EQ(s.policy, SCHED_OTHER);
  }
}
INSTANTIATE_TEST_SUITE_P(Values, PriorityKey,
                         ::testing::Values(PriorityCase{"true", true}, PriorityCase{"YES", true},
                                           PriorityCase{"1", true}, PriorityCase{"false", false},
                                           PriorityCase{"no", false}, PriorityCase{"0", false},
                                           PriorityCase{"maybe", false}));

// A new first-in-first-out thread pinned to the creator's processor must not
// wait for its creator by spinning. A thread that spins keeps the creator off
// the processor until the kernel's real-time throttling lets it run, burning
// processor time meanwhile (a large part of a second); one that waits blocked
// has used next to none when its function begins. Starts that have not all
// ended within 10 seconds fail instead of stalling the program.
TEST_F(ThreadKeys, FifoThreadsOnOneProcessorNeverWaitForTheirCreator) {
  ofw::Props().setProperty("ofw.clients.threads.priority", "true");
  constexpr int kStarts = 20;
  struct State {
    std::atomic<int> ran{0};
    std::atomic<long> maxCpuNs{0};
    std::atomic<bool> done{false};
  };
  auto state = std::make_shared<State>();
  std::thread pinned([state] {
    ofw::Thread::SetMonoProcessor(true);
    for (int i = 0; i < kStarts; ++i) {
      ofw::Thread t;
      AttrSeen s;
      t.start("fifo", &recordAttr, &s, 50);
      t.join();
      if (s.cpus == 1) ++state->ran;
      if (s.cpuNs > state->maxCpuNs) state->maxCpuNs = s.cpuNs;
    }
    ofw::Thread::SetMonoProcessor(false);
    state->done = true;
  });
  for (int i = 0; i < 1000 && !state->done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!state->done) {
    pinned.detach();  // still waiting for its creator: left to finish on its own
    FAIL() << kStarts << " thread starts took more than 10 s; " << state->ran << " ended";
  }
  pinned.join();
  EXPECT_EQ(state->ran.load(), kStarts);
  EXPECT_LT(state->maxCpuNs.load(), 20L * 1000 * 1000) << "a new thread spun before its function began";
}

TEST(Thread, MonoProcessorPinsLaterThreads) {
  std::thread helper([] {
    cpu_set_t before;
    pthread_getaffinity_np(pthread_self(), sizeof before, &before);
    ofw::Thread::SetMonoProcessor(true);
    cpu_set_t now;
    pthread_getaffinity_np(pthread_self(), sizeof now, &now);
    EXPECT_EQ(CPU_COUNT(&now), 1);
    EXPECT_EQ(runAndRecord().cpus, 1);
    ofw::Thread::SetMonoProcessor(false);
    pthread_getaffinity_np(pthread_self(), sizeof now, &now);
    EXPECT_EQ(CPU_COUNT(&now), CPU_COUNT(&before));
    EXPECT_EQ(runAndRecord().cpus, CPU_COUNT(&before));
  });
  helper.join();
}

TEST(Thread, ActiveCountFromManyThreads) {
  ofw::Thread::SetThreadsActive(false);
  EXPECT_EQ(ofw::Thread::GetThreadsActive(), 0);
  std::vector<std::thread> ts;
  for (int i = 0; i < 8; ++i) ts.emplace_back([] { ofw::Thread::SetThreadsActive(true); });
  for (auto& t : ts) t.join();
  EXPECT_EQ(ofw::Thread::GetThreadsActive(), 8);
  ofw::Thread::SetThreadsActive(false);
  EXPECT_EQ(ofw::Thread::GetThreadsActive(), 0);
}

// ------------------------------------------------------------------ mutex and lock

TEST(Mutex, IsRecursive) {
  ofw::Mutex m;
  ofw::Lock a(m);
  ofw::Lock b(m);
  EXPECT_TRUE(m.tryLock());
  m.unLock();
  std::atomic<int> other{-1};
  std::thread t([&] { other = m.tryLock() ? 1 : 0; });
  t.join();
  EXPECT_EQ(other.load(), 0);
}

TEST(Mutex, WaitTimesOutOrIsSignalled) {
  ofw::Mutex m;
  ofw::Lock l(m);
  EXPECT_FALSE(l.wait(0, 1000000));  // 1 ms, nobody signals
  bool flag = false;
  std::thread t([&] {
    ofw::Lock l2(m);
    flag = true;
    m.signalAll();
  });
  while (!flag) EXPECT_TRUE(l.wait(60, 0));
  t.join();
  struct timespec past = {0, 0};
  EXPECT_FALSE(m.wait(&past));
}

TEST(Lock, PollingLockWithZeroIntervalAcquires) {
  ofw::Mutex m;
  std::atomic<bool> held{false};
  std::thread holder([&] {
    ofw::Lock l(m);
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  });
  while (!held.load()) std::this_thread::yield();
  {
    ofw::Lock polling(m, 0, 0);  // retries every 10 ms until the holder lets go
    EXPECT_TRUE(polling.isLocked());
  }
  holder.join();
  ofw::Lock big(m, 0, 2500000000L);  // an interval above one second is normalised
  EXPECT_TRUE(big.isLocked());
}

// Cancelled after it let go of the lock, the thread ends through
// unexpectedTermination().
TEST(Lock, CancellationIsOffWhileHeld) {
  ofw::Mutex m;
  std::atomic<int> stateInside{-1};
  std::atomic<bool> locked{false}, go{false}, afterUnlock{false};
  Body locker = [&] {
    {
      ofw::Lock l(m);
      int old = 0;
      pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
      stateInside = old;
      locked = true;
      while (!go.load()) ofw::Thread::sleep(0, 1000000);  // not a cancellation point here
    }
    // Released: the pending cancellation acts at the next cancellation point.
    for (;;) {
      ofw::Thread::sleep(0, 1000000);
      afterUnlock = true;
    }
  };
  Cancellable t;
  startBody(t, "locker", &locker);
  waitUntil([&] { return locked.load(); });
  t.cancel();
  go = true;
  t.join();
  EXPECT_EQ(stateInside.load(), PTHREAD_CANCEL_DISABLE);
  EXPECT_FALSE(afterUnlock.load());
  EXPECT_EQ(t.terminations.load(), 1);
  EXPECT_FALSE(t.isRunning());
  EXPECT_TRUE(m.tryLock());  // the cancelled thread did not die holding it
  m.unLock();
}

}  // namespace
