// vgspool: the administrator's view of a composite spool directory.
//
//   vgspool push DIR FILE...   append each FILE's bytes as one record
//   vgspool pop DIR            remove the head record, its bytes to standard output
//   vgspool cat DIR            every record, head first, one line of hexadecimal each
//   vgspool stat DIR           count, data size, size on disk, files
//   vgspool check DIR          integrity check (exit 1 when abnormal)
//   vgspool dump DIR           master fields and block chains of every file
//   vgspool show DIR           every record of a session spool decoded, one line each
//
// The tool never repairs anything. cat, stat, check and dump open the spool
// read-only and create, rotate and delete nothing. Exit status: 0 success,
// 1 failure (or an abnormal queue), 2 bad usage, 3 pop found the queue empty.
//
// A subcommand is one entry of kCommands: name, argument synopsis, argument
// count bounds and the function that runs it.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "ofw/dbq/dbq_block.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ofw/format.h"
#include "tools/shellside/session_record_reader.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitEmpty = 3;

constexpr int kBlockSize = ofw::dbqfmt::kDefaultBlockSize;
constexpr int kPermissions = 0600;

typedef std::vector<std::string> Args;

struct Command {
  const char* name;
  const char* synopsis;
  const char* help;
  size_t minArgs;
  size_t maxArgs;  // SIZE_MAX: no upper bound
  int (*run)(const Args& args);
};

void fail(const std::string& text) { std::fprintf(stderr, "vgspool: %s\n", text.c_str()); }

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Opens the spool at `dir` read-only; false (reported) when it cannot be.
bool openReadOnly(ofw::DBQComposite& q, const std::string& dir) {
  if (!isDirectory(dir)) {
    fail(dir + ": no such spool directory");
    return false;
  }
  if (!q.open(dir, ofw::DBQ_READ_ONLY, kPermissions, false, std::string())) {
    fail(dir + ": cannot open the spool: " + ofw::errnoText(errno));
    return false;
  }
  return true;
}

// Opens (creating if missing, when `create`) the spool at `dir` for writing, as
// the daemon does: mode 1, permission bits 0600, refusing a file not shut cleanly.
bool openWritable(ofw::DBQComposite& q, const std::string& dir, bool create) {
  if (!create && !isDirectory(dir)) {
    fail(dir + ": no such spool directory");
    return false;
  }
  if (!q.open(dir, ofw::DBQ_OPEN_OR_CREATE, kPermissions, true, std::string())) {
    fail(dir + ": cannot open the spool: " + ofw::errnoText(errno));
    return false;
  }
  return true;
}

bool readWholeFile(const std::string& path, std::vector<unsigned char>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fail(path + ": " + ofw::errnoText(errno));
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    fail(path + ": read error");
    return false;
  }
  if (out.size() > static_cast<size_t>(INT_MAX)) {
    fail(path + ": too large for one record");
    return false;
  }
  return true;
}

int cmdPush(const Args& a) {
  ofw::DBQComposite q(kBlockSize);
  if (!openWritable(q, a[0], true)) return kExitFailure;
  for (size_t i = 1; i < a.size(); ++i) {
    std::vector<unsigned char> bytes;
    if (!readWholeFile(a[i], bytes)) return kExitFailure;
    boost::shared_array<unsigned char> data(new unsigned char[bytes.empty() ? 1 : bytes.size()]);
    if (!bytes.empty()) std::memcpy(data.get(), bytes.data(), bytes.size());
    q.enqueue(data, static_cast<unsigned int>(bytes.size()));
  }
  return kExitOk;
}

int cmdPop(const Args& a) {
  ofw::DBQComposite q(kBlockSize);
  if (!openWritable(q, a[0], false)) return kExitFailure;
  if (q.empty()) return kExitEmpty;
  boost::shared_array<unsigned char> data;
  unsigned int len = 0;
  q.peek(data, len);
  // The record is removed only once its bytes were handed to standard output.
  if (len > 0 && std::fwrite(data.get(), 1, len, stdout) != len) {
    fail("write to standard output failed");
    return kExitFailure;
  }
  if (std::fflush(stdout) != 0) {
    fail("write to standard output failed");
    return kExitFailure;
  }
  q.dequeue();
  return kExitOk;
}

int cmdCat(const Args& a) {
  ofw::DBQComposite q(kBlockSize);
  if (!openReadOnly(q, a[0])) return kExitFailure;
  static const char kHex[] = "0123456789abcdef";
  std::string line;
  q.forEachRecord([&](const unsigned char* d, unsigned int len) {
    line.resize(static_cast<size_t>(len) * 2 + 1);
    for (unsigned int i = 0; i < len; ++i) {
      line[2 * i] = kHex[d[i] >> 4];
      line[2 * i + 1] = kHex[d[i] & 0x0f];
    }
    line[static_cast<size_t>(len) * 2] = '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    return true;
  });
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

int cmdStat(const Args& a) {
  ofw::DBQComposite q(kBlockSize);
  if (!openReadOnly(q, a[0])) return kExitFailure;
  std::vector<std::pair<int64_t, std::string>> files;
  ofw::DBQComposite::listFiles(a[0], files);
  std::printf("count: %lld\n", static_cast<long long>(q.count()));
  std::printf("data size: %llu\n", static_cast<unsigned long long>(q.getDataSize()));
  std::printf("size on disk: %llu\n", static_cast<unsigned long long>(q.getQueueSizeOnDisk()));
  std::printf("files: %zu\n", files.size());
  return kExitOk;
}

int cmdCheck(const Args& a) {
  bool ok = ofw::DBQComposite::checkDirectory(a[0], std::cout, kBlockSize);
  std::cout.flush();
  return ok ? kExitOk : kExitFailure;
}

int cmdDump(const Args& a) {
  ofw::DBQComposite::dumpDirectory(a[0], std::cout, true, kBlockSize);
  std::cout.flush();
  return kExitOk;
}

int cmdShow(const Args& a) { return ovg::showSessionSpool(a[0], stdout, stderr); }

const Command kCommands[] = {
    {"push", "DIR FILE...", "append each FILE's bytes as one record", 2, SIZE_MAX, cmdPush},
    {"pop", "DIR", "remove the head record and write its bytes to standard output (exit 3 when empty)", 1, 1,
     cmdPop},
    {"cat", "DIR", "print every record, head first, one line of hexadecimal each", 1, 1, cmdCat},
    {"stat", "DIR", "print count, data size, size on disk and files", 1, 1, cmdStat},
    {"check", "DIR", "check the spool's integrity (exit 1 when abnormal)", 1, 1, cmdCheck},
    {"dump", "DIR", "print the master fields and block chains of every file", 1, 1, cmdDump},
    {"show", "DIR", "print every record of a session spool decoded, head first, one line each", 1, 1, cmdShow},
};

int usage() {
  std::fprintf(stderr, "usage: vgspool COMMAND DIR [ARGS...]\n\ncommands:\n");
  for (const Command& c : kCommands)
    std::fprintf(stderr, "  %-6s %-14s %s\n", c.name, c.synopsis, c.help);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") {
    usage();
    return kExitOk;
  }
  Args args(argv + 2, argv + argc);
  for (const Command& c : kCommands) {
    if (name != c.name) continue;
    if (args.size() < c.minArgs || args.size() > c.maxArgs) return usage();
    // Failures to read blocks are echoed to standard error, never mixed into records.
    ofw::Block::setFailureEcho(stderr);
    try {
      return c.run(args);
    } catch (const std::exception& e) {
      fail(e.what());
      return kExitFailure;
    }
  }
  fail("unknown command '" + name + "'");
  return usage();
}
