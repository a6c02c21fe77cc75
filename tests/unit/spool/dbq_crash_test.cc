// Crashes: a child process works on a spool and dies, either killed with
// SIGKILL at a random moment or stopped just before its k-th block write (every
// k in turn). After each death the parent reopens the spool (moving it aside
// and salvaging when it was not shut cleanly) and checks that no record the
// child had completely enqueued and not dequeued was lost, that the order held,
// and that the recovered spool is consistent. The one operation the child had
// in flight may or may not have taken effect. Every case runs with each
// spool.sync policy: forcing commits to the disk must not change what survives.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <deque>
#include <new>
#include <random>

#include "ofw/dbq/dbq_block.h"
#include "ofw/config/properties.h"
#include "ofw/dbq/dbqcomposite.h"
#include "spool_test_util.h"

using namespace spooltest;
using ofw::DBQComposite;

namespace {

constexpr uint64_t kMaxFile = 16 * 1024;  // small files: frequent rollovers and rotations

// At least 4 bytes, so that a record names its sequence number in full.
size_t lengthOf(uint32_t seq) {
  uint32_t h = seq * 2654435761u;
  return 4 + (h >> 7) % ((h & 7) == 0 ? 3000 : 700);
}

struct Report {
  char op;  // 'E' enqueued, 'D' dequeued
  uint32_t seq;
};

// The child's reports, in memory shared with the parent: an entry is written
// first, then published by raising the count, so a report survives SIGKILL
// without a system call per operation.
struct ReportLog {
  std::atomic<uint32_t> count;
  Report entries[1 << 18];
};

ReportLog* newReportLog() {
  void* p = ::mmap(nullptr, sizeof(ReportLog), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  return new (p) ReportLog();
}

void sendReport(ReportLog* log, char op, uint32_t seq) {
  uint32_t n = log->count.load(std::memory_order_relaxed);
  if (n >= sizeof(log->entries) / sizeof(log->entries[0])) _exit(20);
  log->entries[n] = Report{op, seq};
  log->count.store(n + 1, std::memory_order_release);
}

std::vector<Report> takeReports(ReportLog* log) {
  uint32_t n = log->count.load(std::memory_order_acquire);
  std::vector<Report> out(log->entries, log->entries + n);
  log->count.store(0);
  return out;
}

// The child's work: random enqueues and dequeues (and renewals when empty),
// each reported once it has returned. `maxOps` 0 = until killed.
[[noreturn]] void childWork(const std::string& dir, uint32_t nextSeq, uint32_t seed, ReportLog* log, int maxOps) {
  std::mt19937 rng(seed);
  try {
    Composite q(dir, kMaxFile);
    for (int i = 0; maxOps == 0 || i < maxOps; ++i) {
      int op = static_cast<int>(rng() % 100);
      if (op < 49 || q.count() == 0) {
        put(q, record(nextSeq, lengthOf(nextSeq)));
        sendReport(log, 'E', nextSeq++);
      } else if (op < 97) {
        std::vector<unsigned char> r = pop(q);
        uint32_t s = seqOf(r.data(), r.size());
        if (r.empty() || r != record(s, lengthOf(s))) _exit(23);
        sendReport(log, 'D', s);
      } else {
        q.flushDb();  // renews the spool when it is empty
      }
    }
  } catch (const std::exception&) {
    _exit(24);
  }
  _exit(10);
}

struct Model {
  std::deque<uint32_t> queue;
  uint32_t nextSeq = 0;
};

// Applies the child's reports to the model.
void applyReports(Model& m, const std::vector<Report>& reports) {
  for (const Report& r : reports) {
    if (r.op == 'E') {
      ASSERT_EQ(r.seq, m.nextSeq);
      m.queue.push_back(r.seq);
      ++m.nextSeq;
    } else {
      ASSERT_FALSE(m.queue.empty());
      ASSERT_EQ(r.seq, m.queue.front()) << "the child dequeued out of order";
      m.queue.pop_front();
    }
  }
}

// Reopens the spool after the child's death and compares it with the model.
void recoverAndCheck(const std::string& dir, Model& m) {
  DBQComposite q(B);
  q.setDbqMaxSize(kMaxFile);
  recovered(q, [&] { q.open(dir, ofw::DBQ_OPEN_OR_CREATE, 0600, true, "crash"); });
  ASSERT_TRUE(q.isOpen());
  std::vector<uint32_t> got;
  q.forEachRecord([&](const unsigned char* d, unsigned int len) {
    uint32_t s = seqOf(d, len);
    EXPECT_TRUE(isRecord(d, len, s) && len == lengthOf(s)) << "record " << s << " altered";
    got.push_back(s);
    return true;
  });
  ASSERT_EQ(q.count(), static_cast<int64_t>(got.size()));
  std::vector<uint32_t> model(m.queue.begin(), m.queue.end());
  std::vector<uint32_t> withoutFront(model.size() > 1 ? model.begin() + 1 : model.end(), model.end());
  std::vector<uint32_t> withNext = model;
  withNext.push_back(m.nextSeq);
  if (got == model) {
  } else if (!model.empty() && got == withoutFront) {
    m.queue.pop_front();  // the removal in flight took effect
  } else if (got == withNext) {
    m.queue.push_back(m.nextSeq++);  // the append in flight took effect
  } else {
    FAIL() << "recovered: " << ::testing::PrintToString(got) << "\nexpected:  " << ::testing::PrintToString(model)
           << " (next " << m.nextSeq << ")";
  }
  EXPECT_TRUE(intact(q));
}

// The spool.sync value of each run.
class DbqCrash : public SpoolDirTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override { ofw::Props().setProperty("spool.sync", GetParam()); }
  void TearDown() override { ofw::Props().setProperty("spool.sync", "none"); }
};

TEST_P(DbqCrash, RandomKillsLoseNoCompletedRecord) {
  Model m;
  std::mt19937 rng(20240611);
  const int kRounds = 250;
  ReportLog* log = newReportLog();
  ASSERT_NE(log, nullptr);
  for (int round = 0; round < kRounds; ++round) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) childWork(dir, m.nextSeq, static_cast<uint32_t>(rng()), log, 0);
    // Let the child work for a random while, then kill it.
    struct timespec pause = {0, static_cast<long>(rng() % 8000) * 1000L};
    ::nanosleep(&pause, nullptr);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself with status " << WEXITSTATUS(status);
    applyReports(m, takeReports(log));
    ASSERT_NO_FATAL_FAILURE(recoverAndCheck(dir, m)) << "round " << round;
  }
  ::munmap(log, sizeof(ReportLog));
}

// ---------------------------------------------------------------- k-th write

int gWritesLeft = 0;
int stopBeforeWrite(int, off_t, size_t) {
  if (--gWritesLeft == 0) _exit(0);  // dies with the write not done
  return 0;
}

TEST_P(DbqCrash, DeathBeforeEveryBlockWrite) {
  Model m;
  // A spool with some history, so that appends reuse free blocks and files roll.
  {
    Composite q(dir, kMaxFile);
    for (int i = 0; i < 12; ++i) {
      put(q, record(m.nextSeq, lengthOf(m.nextSeq)));
      m.queue.push_back(m.nextSeq++);
    }
    for (int i = 0; i < 5; ++i) {
      q.dequeue();
      m.queue.pop_front();
    }
  }
  const int kOps = 25;
  int deaths = 0;
  ReportLog* log = newReportLog();
  ASSERT_NE(log, nullptr);
  for (int k = 1;; ++k) {
    ASSERT_LT(k, 2000) << "the script never finishes";
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      gWritesLeft = k;
      ofw::Block::setWriteFaultHook(stopBeforeWrite);
      childWork(dir, m.nextSeq, 99, log, kOps);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    applyReports(m, takeReports(log));
    ASSERT_NO_FATAL_FAILURE(recoverAndCheck(dir, m)) << "death before write " << k;
    if (WEXITSTATUS(status) == 10) break;  // the script ran to its end
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ++deaths;
  }
  ::munmap(log, sizeof(ReportLog));
  EXPECT_GT(deaths, kOps);  // every operation writes at least one block
}

INSTANTIATE_TEST_SUITE_P(SpoolSync, DbqCrash, ::testing::Values("none", "always"));

}  // namespace
