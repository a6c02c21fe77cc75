// The session lifecycle handlers keep one session per connection: whatever a
// session registered in the Auditor's registry leaves it when the session
// ends, even when the connection started a second session, resumed its
// session again or reported a second process group on the way.
//
// Requests go through IPCServer::execute, as a worker of the server runs them,
// on a socket pair whose peer is this (root) process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "auditor/auditor.h"
#include "lrpc2/header.h"
#include "ofw/dbq/dbq_block.h"
#include "ofw/dbq/dbq_format.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ofw/guid.h"
#include "ovgfw/ovg_message.h"
#include "server/server_session.h"
#include "server_test_util.h"

namespace {

// One client connection, served the way the server's workers serve it.
class Connection {
 public:
  explicit Connection(ofw::IPCServer* server) : server_(server) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    client_ = sv[1];
    const std::string hello = testsupport::u32(5) + testsupport::u16(8) + testsupport::u16(0);
    EXPECT_EQ(write(client_, hello.data(), hello.size()), 8);
    session_.reset(new LRPC2ServerSession(server));
    session_->negotiate(sv[0]);
    uint8_t answer[64];
    while (recv(client_, answer, sizeof answer, MSG_DONTWAIT) > 0) {
    }
  }
  ~Connection() { close(client_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends the completed request (freed here) and returns the reply, or null
  // when there is none.
  LRPC2Msg* call(LRPC2Msg* request) {
    size_t length = 0;
    const char* data = reinterpret_cast<const char*>(MsgGetData(request, &length));
    using namespace testsupport;
    const std::string frame = u32(lrpc2::kMagic) + u16(48) + u32(5) + u64(getpid()) + u32(++sequence_) + u64(1) +
                              u16(0) + u64(0) + u32(0) + u32(length - 48) + std::string(data + 48, length - 48);
    MsgFree(request);
    EXPECT_EQ(write(client_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    server_->execute(session_);
    uint8_t head[lrpc2::kHeaderLengthV5];
    if (recv(client_, head, sizeof head, MSG_DONTWAIT) != static_cast<ssize_t>(sizeof head)) return nullptr;
    std::vector<uint8_t> body(lrpc2::DecodeHeader(5, head).bodyLength);
    EXPECT_EQ(recv(client_, body.data(), body.size(), MSG_DONTWAIT), static_cast<ssize_t>(body.size()));
    int status = 0;
    return MsgNewFromData(body.data(), body.size(), 1, nullptr, 0, &status);
  }

  // The client goes away; the server's next turn on it ends its session.
  void hangUp() {
    shutdown(client_, SHUT_WR);
    server_->execute(session_);
  }

  LRPC2ServerSession& session() { return *session_; }

 private:
  ofw::IPCServer* server_;
  ofw::ClientPtr session_;
  int client_ = -1;
  uint32_t sequence_ = 0;
};

LRPC2Msg* NewRequest(uint32_t type) {
  int status = 0;
  LRPC2Msg* m = MsgNew(type, 0, nullptr, lrpc2::kHeaderLengthV5, &status);
  EXPECT_NE(m, nullptr);
  return m;
}

LRPC2Msg* Completed(LRPC2Msg* m) {
  EXPECT_EQ(MsgComplete(m), MSG_OK);
  return m;
}

struct StartReply {
  bool audited = false;
  int32_t status = -1;
  ofw::Guid guid;
};

// A version-17 start of a login shell ("-bash") with the given audit-shell pid.
StartReply Start(Connection& c, const std::string& tty, int32_t psid, int32_t shellPid) {
  LRPC2Msg* m = NewRequest(MsgType::VGSessionStart17);
  for (int32_t v : {shellPid, 1, shellPid + 1, psid}) MsgWriteInt32(m, v);
  MsgWriteBool(m, 0);
  for (const char* v : {"root", tty.c_str(), "", "first", "second", "sshd"}) MsgWriteString(m, v);
  MsgWriteBool(m, 0);
  MsgWriteBool(m, 1);
  MsgWriteString(m, "");
  MsgWriteString(m, "");
  struct timeval tv = {1700000000, 0};
  MsgWriteBlob(m, &tv, sizeof tv);
  MsgWriteInt32(m, 1);
  MsgWriteString(m, "-bash");
  LRPC2Msg* reply = c.call(Completed(m));
  StartReply r;
  if (!reply) {
    ADD_FAILURE() << "no reply to the start on " << tty;
    return r;
  }
  int audited = 0;
  EXPECT_EQ(MsgReadBool(reply, &audited), MSG_OK);
  r.audited = audited != 0;
  EXPECT_EQ(MsgReadInt32(reply, &r.status), MSG_OK);
  if (r.audited) {
    void* data = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(MsgReadBlob(reply, &data, &length), MSG_OK);
    EXPECT_EQ(length, ofw::Guid::SIZE);
    if (length == ofw::Guid::SIZE) r.guid = ofw::Guid(static_cast<const unsigned char*>(data));
    free(data);
  } else if (r.status == 4) {
    char* existing = nullptr;
    EXPECT_EQ(MsgReadString(reply, &existing), MSG_OK);  // the open session's id
    free(existing);
  }
  MsgFree(reply);
  return r;
}

int32_t Resume(Connection& c, int version, const ofw::Guid& guid, const std::string& tty, int32_t psid,
               int32_t shellPid, int32_t pgid) {
  static const uint32_t types[] = {MsgType::VGSessionResume, MsgType::VGSessionResume2, MsgType::VGSessionResume3,
                                   MsgType::VGSessionResume4, MsgType::VGSessionResume5};
  LRPC2Msg* m = NewRequest(types[version - 1]);
  MsgWriteBlob(m, guid.data(), ofw::Guid::SIZE);
  MsgWriteString(m, tty.c_str());
  MsgWriteInt32(m, psid);
  if (version >= 2) MsgWriteBlob(m, nullptr, 0);
  if (version >= 4) MsgWriteInt32(m, shellPid);
  if (version >= 5) MsgWriteInt32(m, pgid);
  LRPC2Msg* reply = c.call(Completed(m));
  int32_t status = -1;
  if (!reply) {
    ADD_FAILURE() << "no reply to the resume on " << tty;
    return status;
  }
  EXPECT_EQ(MsgReadInt32(reply, &status), MSG_OK);
  MsgFree(reply);
  return status;
}

// Sends the request; its reply must come and carries nothing looked at here.
void Answered(Connection& c, LRPC2Msg* m) {
  LRPC2Msg* reply = c.call(Completed(m));
  EXPECT_NE(reply, nullptr);
  MsgFree(reply);
}

void ReportProcessGroup(Connection& c, int32_t pgid) {
  LRPC2Msg* m = NewRequest(MsgType::VGSessionPGID);
  MsgWriteInt32(m, pgid);
  Answered(c, m);
}

// A child process that leads a process group of its own until the end of
// the scope (or the end of this process).
struct GroupLeader {
  pid_t pid;
  GroupLeader() : pid(fork()) {
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      setpgid(0, 0);
      pause();
      _exit(0);
    }
    if (pid > 0) setpgid(pid, pid);
  }
  ~GroupLeader() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  GroupLeader(const GroupLeader&) = delete;
  GroupLeader& operator=(const GroupLeader&) = delete;
};

class SessionHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    auditor_.reset(new Vigilog::Auditor());
    auditor_->init(dir_ + "/spool-sessions", dir_ + "/spool-dbqc", dir_ + "/spool-atdbqc", "");
    Vigilog::gAuditor = auditor_.get();
    server_.reset(new ofw::IPCServer(dir_ + "/audit"));
  }
  void TearDown() override {
    server_.reset();
    Vigilog::gAuditor = nullptr;
    auditor_.reset();
  }

  Vigilog::AuditRegistry& registry() { return auditor_->registry(); }

  // Every file and directory below dir, one path a line.
  std::string filesUnder(const std::string& dir) {
    std::string out;
    FILE* p = popen(("find " + dir + " -mindepth 2 | sort").c_str(), "r");
    char line[4096];
    while (p && fgets(line, sizeof line, p)) out += line;
    if (p) pclose(p);
    return out;
  }

  void expectRegistryEmpty() {
    EXPECT_EQ(registry().ttyCount(), 0u);
    EXPECT_EQ(registry().psidCount(), 0u);
    EXPECT_EQ(registry().pidCount(), 0u);
  }
  // The client goes; its session ends with nothing left registered.
  void hangUpLeavesRegistryEmpty(Connection& c) {
    c.hangUp();
    expectRegistryEmpty();
  }

  // The record types in a (no longer active) session's spool, in order.
  std::vector<uint16_t> recordTypes(const ofw::Guid& guid) {
    std::vector<uint16_t> types;
    if (!auditor_->sessions()->exists(guid)) return types;
    ofw::DBQComposite q(ofw::dbqfmt::kDefaultBlockSize);
    const std::string path = auditor_->sessions()->getSessionQueue(guid)->getDbqDirectoryPath();
    if (!q.open(path, ofw::DBQ_READ_ONLY, 0600, false, std::string())) return types;
    q.forEachRecord([&types](const unsigned char* d, unsigned int n) {
      ovgfw::OVGRequestMessage m;
      m.deserialize(std::string(reinterpret_cast<const char*>(d), n));
      types.push_back(m.getType());
      return true;
    });
    return types;
  }

  testsupport::TempDir tmp_;
  const std::string dir_ = tmp_.path();
  servertest::LogToFile log_{tmp_.file("vgd.log")};
  std::unique_ptr<Vigilog::Auditor> auditor_;
  std::unique_ptr<ofw::IPCServer> server_;
};

const uint16_t kStart = ovgfw::OVGMessage::TYPE_SESSION_START;
const uint16_t kEnd = ovgfw::OVGMessage::TYPE_SESSION_END;

TEST_F(SessionHandlers, SecondAuditedStartEndsTheSessionTheConnectionHeld) {
  Connection c(server_.get());
  const StartReply first = Start(c, "pts/81", -1, 8100);
  ASSERT_TRUE(first.audited);
  const std::string firstId = first.guid.toSwappedMSString();
  EXPECT_EQ(registry().getSessionIDFromTTY("pts/81"), firstId);

  // The same audit shell starts again on another tty: the first session ends
  // (end record, registrations gone) and the shell's pid is the new one's.
  const StartReply second = Start(c, "pts/82", -1, 8100);
  ASSERT_TRUE(second.audited);
  const std::string secondId = second.guid.toSwappedMSString();
  EXPECT_FALSE(registry().isTTYAuditing("pts/81"));
  EXPECT_EQ(registry().getSessionIDFromTTY("pts/82"), secondId);
  EXPECT_EQ(registry().getSessionIDFromVuvoPID(8100), secondId);
  EXPECT_EQ(recordTypes(first.guid), (std::vector<uint16_t>{kStart, kEnd}));

  hangUpLeavesRegistryEmpty(c);
  EXPECT_EQ(recordTypes(second.guid), (std::vector<uint16_t>{kStart, kEnd}));
}

TEST_F(SessionHandlers, StartRefusedInsideTheOpenSessionKeepsIt) {
  Connection c(server_.get());
  const StartReply first = Start(c, "pts/83", -1, 8300);
  ASSERT_TRUE(first.audited);
  const std::string firstId = first.guid.toSwappedMSString();

  const StartReply again = Start(c, "pts/83", -1, 8301);
  EXPECT_FALSE(again.audited);
  EXPECT_EQ(again.status, 4);
  EXPECT_EQ(registry().getSessionIDFromTTY("pts/83"), firstId);
  EXPECT_EQ(registry().getSessionIDFromVuvoPID(8300), firstId);
  EXPECT_FALSE(registry().isVuvoAuditing(8301));
  EXPECT_TRUE(c.session().sessionOpen);
  EXPECT_EQ(c.session().sessionGuid, first.guid);

  hangUpLeavesRegistryEmpty(c);
  EXPECT_EQ(recordTypes(first.guid), (std::vector<uint16_t>{kStart, kEnd}));
}

TEST_F(SessionHandlers, ResumingTheOpenSessionAgainReplacesItsRegistrations) {
  const ofw::Guid guid = ofw::Guid::generate();
  const std::string id = guid.toSwappedMSString();
  {
    Connection c(server_.get());
    EXPECT_EQ(Resume(c, 5, guid, "pts/91", 9101, 9102, 9103), 0);
    EXPECT_EQ(Resume(c, 5, guid, "pts/92", 9201, 9202, 9203), 0);
    EXPECT_FALSE(registry().isTTYAuditing("pts/91"));
    EXPECT_FALSE(registry().isPSIDAuditing(9101));
    EXPECT_FALSE(registry().isVuvoAuditing(9102));
    EXPECT_FALSE(registry().isPSIDAuditing(9103));
    EXPECT_EQ(registry().getSessionIDFromTTY("pts/92"), id);
    EXPECT_EQ(registry().getSessionIDFromPSID(9201), id);
    EXPECT_EQ(registry().getSessionIDFromVuvoPID(9202), id);
    EXPECT_EQ(registry().getSessionIDFromPSID(9203), id);
    hangUpLeavesRegistryEmpty(c);
  }
  {
    // An older resume names no pid or process group: those stay, even a
    // process group that was the old psid too.
    Connection c(server_.get());
    EXPECT_EQ(Resume(c, 5, guid, "pts/93", 9301, 9302, 9301), 0);
    EXPECT_EQ(Resume(c, 3, guid, "pts/94", 9401, 0, 0), 0);
    EXPECT_FALSE(registry().isTTYAuditing("pts/93"));
    EXPECT_EQ(registry().getSessionIDFromPSID(9301), id);
    EXPECT_EQ(registry().getSessionIDFromPSID(9401), id);
    EXPECT_EQ(registry().getSessionIDFromVuvoPID(9302), id);
    hangUpLeavesRegistryEmpty(c);
  }
}

TEST_F(SessionHandlers, LaterProcessGroupReportReplacesTheEarlierOne) {
  // A second process group of this (root) peer: a child leading its own.
  GroupLeader child;
  ASSERT_GT(child.pid, 0);
  const int32_t own = static_cast<int32_t>(getpgrp());
  const int32_t other = static_cast<int32_t>(child.pid);
  {
    Connection c(server_.get());
    const StartReply s = Start(c, "pts/71", -1, 7100);
    ASSERT_TRUE(s.audited);
    ReportProcessGroup(c, own);
    EXPECT_TRUE(registry().isPSIDAuditing(own));
    ReportProcessGroup(c, other);
    EXPECT_FALSE(registry().isPSIDAuditing(own));
    EXPECT_TRUE(registry().isPSIDAuditing(other));
    hangUpLeavesRegistryEmpty(c);
  }
  {
    // A process group that is also the session's psid stays registered.
    Connection c(server_.get());
    const StartReply s = Start(c, "pts/72", own, 7200);
    ASSERT_TRUE(s.audited);
    ReportProcessGroup(c, own);
    ReportProcessGroup(c, other);
    EXPECT_TRUE(registry().isPSIDAuditing(own));
    EXPECT_TRUE(registry().isPSIDAuditing(other));
    hangUpLeavesRegistryEmpty(c);
  }
  {
    // The group of an ended session is not carried into the connection's
    // next session, not even when that one is resumed again.
    Connection c(server_.get());
    ASSERT_TRUE(Start(c, "pts/73", -1, 7300).audited);
    ReportProcessGroup(c, other);
    Answered(c, NewRequest(MsgType::VGSessionEnd));
    EXPECT_FALSE(registry().isPSIDAuditing(other));
    const StartReply next = Start(c, "pts/74", -1, 7400);
    ASSERT_TRUE(next.audited);
    EXPECT_EQ(Resume(c, 3, next.guid, "pts/75", -1, 0, 0), 0);
    EXPECT_FALSE(registry().isPSIDAuditing(other));
    hangUpLeavesRegistryEmpty(c);
  }
}

// A start whose record cannot be stored (here every block write fails, as on
// a full disk) is answered status 1 and leaves no spool, status or owner file.
TEST_F(SessionHandlers, StartWhoseRecordCannotBeStoredLeavesNothingOnDisk) {
  ofw::Block::setWriteFaultHook([](int, off_t, size_t) { return ENOSPC; });
  Connection c(server_.get());
  const StartReply r = Start(c, "pts/61", -1, 6100);
  ofw::Block::setWriteFaultHook(nullptr);
  EXPECT_FALSE(r.audited);
  EXPECT_EQ(r.status, 1);
  expectRegistryEmpty();
  EXPECT_EQ(filesUnder(dir_ + "/spool-sessions"), "");
  // The next start is stored as usual.
  EXPECT_TRUE(Start(c, "pts/62", -1, 6200).audited);
}

// A `spool.maxdbsize` that is not a non-negative number is named in a WARN
// and does not refuse starts.
TEST_F(SessionHandlers, BadMaxDbSizeIsWarnedAndIgnored) {
  for (const char* bad : {"-1", "12x"}) {
    ofw::Props().setProperty("spool.maxdbsize", bad);
    Connection c(server_.get());
    const StartReply r = Start(c, std::string("pts/") + bad, -1, 6300);
    EXPECT_TRUE(r.audited) << bad;
    EXPECT_EQ(r.status, 0) << bad;
    EXPECT_NE(log_.text().find(std::string("Illegal value for spool.maxdbsize: '") + bad + "'. Using 0."),
              std::string::npos)
        << bad;
  }
  ofw::Props().setProperty("spool.maxdbsize", "");
}

}  // namespace
