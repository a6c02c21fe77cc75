// Version-2 secure-file authentication (needs root: the server chowns its
// challenge files to the claimed uid and gid).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <future>

#include "frames.h"
#include "lrpc2/session.h"

using namespace lrpc2test;

namespace {

size_t EntryCount(const std::string& dir) {
  std::error_code ec;  // a missing directory has none
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir, ec), {}));
}

// "file|dir|other <octal mode> <uid>:<gid> <size>" of a path, or "missing".
std::string Meta(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "missing";
  char mode[8];
  snprintf(mode, sizeof mode, "%o", st.st_mode & 07777);
  return std::string(S_ISREG(st.st_mode) ? "file " : S_ISDIR(st.st_mode) ? "dir " : "other ") + mode + " " +
         std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " + std::to_string(st.st_size);
}

Bytes V2Frame(const Bytes& body) {
  FrameShape f;
  f.version = 2;
  return Frame(f, body);
}

// The body of the next version-2 message on fd; empty on failure.
Bytes ReadV2Body(int fd) {
  const Bytes h = ReadN(fd, 8);
  return h.size() == 8 ? ReadN(fd, U32At(h, 4) - 8) : Bytes();
}

Msg ReadV2(int fd) {
  const Bytes body = ReadV2Body(fd);
  int st;
  return Msg(MsgNewFromData(body.data(), body.size(), 1, nullptr, 0, &st));
}

// The two paths of a challenge response (type 2), or empty strings.
std::pair<std::string, std::string> ChallengePaths(LRPC2Msg* response) {
  char* paths[2] = {nullptr, nullptr};
  if (response == nullptr || MsgReadString(response, &paths[0]) != MSG_OK ||
      MsgReadString(response, &paths[1]) != MSG_OK)
    return {};
  std::pair<std::string, std::string> out(paths[0], paths[1]);
  free(paths[0]);
  free(paths[1]);
  return out;
}

// The exit status of `body` run in a child as the unprivileged user 65534.
int AsNobody(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(30);
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class LRPC2SecFileAuth : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    // Other users must be able to traverse to the authentication directory.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);
    SessionSetAuthFileDir(authDir_.c_str());
  }
  void TearDown() override { SessionSetAuthFileDir(nullptr); }
  // A test server on path_ that anyone may connect to.
  void startServer() {
    server_.reset(new TestServer(path_));
    ASSERT_TRUE(server_->start());
    ASSERT_EQ(chmod(path_.c_str(), 0777), 0);
  }

  TempDir dir_;
  const std::string authDir_ = dir_.file("lrpc2auth"), path_ = dir_.file("audit");
  std::unique_ptr<TestServer> server_;
};

// A raw version-2 client on a socket pair, driven by the test, with the
// server's receive running in a thread.
struct RawV2 {
  FdPair p;
  LRPC2SessionServer* s = nullptr;
  std::future<std::pair<LRPC2Msg*, int>> recv;

  bool start(uint32_t requestType) {
    if (!WriteAll(p.b, Hello(2))) return false;
    int st = -1;
    s = SessionAccept(p.a, p.a, 10, nullptr, 0, &st, nullptr);
    if (s == nullptr || ReadN(p.b, 4).size() != 4) return false;
    if (!WriteAll(p.b, V2Frame(B().u16(static_cast<uint16_t>(requestType)).u8(0)))) return false;
    recv = std::async(std::launch::async, [this] {
      int status = -1;
      LRPC2Msg* m = SessionRecv(p.a, s, 30, &status, 0);
      return std::make_pair(m, status);
    });
    return true;
  }
  ~RawV2() {
    if (recv.valid()) MsgFree(recv.get().first);
    SessionServerClose(s);
  }
};

}  // namespace

TEST_F(LRPC2SecFileAuth, EndToEndAsRoot) {
  startServer();
  int st = -1;
  Client c(SessionConnectWithTimeout(path_.c_str(), nullptr, 30, 2, 0, &st));
  ASSERT_EQ(st, SESSION_OK);
  for (uint32_t type : {MsgType::VGPing, MsgType::VGStop, MsgType::VGSessionEnd}) {
    Msg req = Completed(type);
    Msg reply(SessionSendWithTimeout(c.get(), req.get(), 30, &st));
    ASSERT_EQ(st, SESSION_OK);
    uint32_t replyType = 0;
    MsgReadMsgType(reply.get(), &replyType);
    EXPECT_EQ(replyType, type);
    void* blob = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(MsgReadBlob(reply.get(), &blob, &n), MSG_OK);
    free(blob);
    int32_t uid = 7;
    ASSERT_EQ(MsgReadInt32(reply.get(), &uid), MSG_OK);
    EXPECT_EQ(uid, type == MsgType::VGPing ? -1 : 0) << type;
  }
  c.reset();
  ASSERT_TRUE(server_->waitConnections(1));
  EXPECT_EQ(server_->recvStatuses(), (std::vector<int>{0, 0, 0, SESSION_ERR_CLOSED}));
  // The directory was created private and is empty again.
  EXPECT_EQ(Meta(authDir_).substr(0, 12), "dir 711 0:0 ");  // any size
  EXPECT_EQ(EntryCount(authDir_), 0u);
}

TEST_F(LRPC2SecFileAuth, UnprivilegedClientAuthenticatesAsItself) {
  startServer();
  EXPECT_EQ(AsNobody([this] {
              int st = -1;
              LRPC2SessionClient* c = SessionConnectWithTimeout(path_.c_str(), nullptr, 30, 2, 0, &st);
              if (c == nullptr) return 31;
              Msg req = Completed(MsgType::VGStop);
              LRPC2Msg* reply = SessionSendWithTimeout(c, req.get(), 30, &st);
              void* blob = nullptr;
              uint32_t n = 0;
              int32_t uid = -1;
              if (!reply || MsgReadBlob(reply, &blob, &n) != MSG_OK || MsgReadInt32(reply, &uid) != MSG_OK) return 33;
              return uid == 65534 ? 0 : 34;
            }),
            0);
  ASSERT_TRUE(server_->waitConnections(1));
  EXPECT_EQ(server_->recvStatuses(), (std::vector<int>{0, SESSION_ERR_CLOSED}));
  EXPECT_EQ(EntryCount(authDir_), 0u);
}

TEST_F(LRPC2SecFileAuth, UnprivilegedClientClaimingRootFailsAndFilesAreRemoved) {
  startServer();
  // A raw client as an unprivileged user that claims uid 0 and gid 0: it
  // cannot read the files, so it sends what it has (nothing).
  EXPECT_EQ(AsNobody([this] {
              const int fd = Connect(path_);
              if (fd < 0 || !WriteAll(fd, Hello(2)) || ReadN(fd, 4).size() != 4) return 32;
              WriteAll(fd, V2Frame(B().u16(20).u8(0)));
              if (ReadV2Body(fd) != Bytes(B().u16(1).u8(0))) return 33;
              WriteAll(fd, V2Frame(B().u16(1).u8(3).u32(0).u8(3).u32(0).u8(0)));
              Msg response = ReadV2(fd);
              const auto paths = ChallengePaths(response.get());
              if (paths.first.empty()) return 35;
              for (const std::string& p : {paths.first, paths.second})
                if (open(p.c_str(), O_RDONLY) >= 0) return 36;  // must not be readable
              WriteAll(fd, V2Frame(B().u16(2).u8(6).u32(0xFFFFFFFF).u8(6).u32(0xFFFFFFFF).u8(0)));
              // The server gives up on the client: end of file.
              char byte;
              return read(fd, &byte, 1) == 0 ? 0 : 37;
            }),
            0);
  ASSERT_TRUE(server_->waitConnections(1));
  EXPECT_EQ(server_->recvStatuses(), std::vector<int>{SESSION_ERR_AUTH});
  EXPECT_EQ(EntryCount(authDir_), 0u);
}

TEST_F(LRPC2SecFileAuth, ChallengeFilesAndClientLeavingMidway) {
  RawV2 raw;
  ASSERT_TRUE(raw.start(MsgType::VGStop));
  EXPECT_EQ(ReadV2Body(raw.p.b), Bytes(B().u16(1).u8(0)));
  WriteAll(raw.p.b, V2Frame(B().u16(1).u8(3).u32(4321).u8(3).u32(8765).u8(0)));
  Msg response = ReadV2(raw.p.b);
  uint32_t type = 0;
  MsgReadMsgType(response.get(), &type);
  EXPECT_EQ(type, 2u);
  const auto paths = ChallengePaths(response.get());
  EXPECT_EQ(paths.first.rfind(authDir_ + "/", 0), 0u);
  EXPECT_EQ(Meta(paths.first), "file 400 4321:0 1024");
  EXPECT_EQ(Meta(paths.second), "file 440 0:8765 1024");
  EXPECT_NE(testsupport::readFile(paths.first), testsupport::readFile(paths.second));
  EXPECT_EQ(EntryCount(authDir_), 2u);
  raw.p.closeB();
  auto r = raw.recv.get();
  EXPECT_EQ(r.first, nullptr);
  EXPECT_EQ(r.second, SESSION_ERR_CLOSED);
  EXPECT_EQ(EntryCount(authDir_), 0u);
}

struct ProofCase {
  const char* name;
  bool replaceUserFile;
  bool wrongContent;
  bool claimMinusOne;
  int status;
};

class LRPC2SecFileProof : public LRPC2SecFileAuth, public ::testing::WithParamInterface<ProofCase> {};

TEST_P(LRPC2SecFileProof, Outcome) {
  const ProofCase& c = GetParam();
  RawV2 raw;
  ASSERT_TRUE(raw.start(MsgType::VGReloadProps));
  ASSERT_FALSE(ReadV2Body(raw.p.b).empty());
  WriteAll(raw.p.b, V2Frame(B().u16(1).u8(3).u32(c.claimMinusOne ? 0xFFFFFFFF : 0).u8(3).u32(0).u8(0)));
  if (c.claimMinusOne) {
    EXPECT_EQ(raw.recv.get().second, c.status);
    EXPECT_EQ(EntryCount(authDir_), 0u);
    return;
  }
  Msg response = ReadV2(raw.p.b);
  const auto paths = ChallengePaths(response.get());
  const std::string user = testsupport::readFile(paths.first);
  std::string group = testsupport::readFile(paths.second);
  ASSERT_EQ(user.size(), 1024u);
  ASSERT_EQ(group.size(), 1024u);
  if (c.replaceUserFile) testsupport::writeFile(paths.first, user, 0400);  // same name and content, another file
  if (c.wrongContent) group[100] ^= 1;
  WriteAll(raw.p.b, V2Frame(B().u16(2).u8(6).u32(1024).str(user).u8(6).u32(1024).str(group).u8(0)));
  auto r = raw.recv.get();
  Msg request(r.first);
  EXPECT_EQ(r.second, c.status);
  int uid = -1, gid = -1;
  if (c.status == SESSION_OK) {
    uint32_t type = 0;
    MsgReadMsgType(request.get(), &type);
    EXPECT_EQ(type, 120u);  // the original request
    ASSERT_EQ(SessionProcessIdentity(raw.s, &uid, &gid), SESSION_OK);
    EXPECT_EQ(uid, 0);
    EXPECT_EQ(gid, 0);
  } else {
    EXPECT_EQ(SessionProcessIdentity(raw.s, &uid, &gid), SESSION_ERR_IDENTITY);
  }
  EXPECT_EQ(EntryCount(authDir_), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, LRPC2SecFileProof,
                         ::testing::Values(ProofCase{"Good", false, false, false, 0},
                                           ProofCase{"ReplacedFile", true, false, false, 410},
                                           ProofCase{"WrongContent", false, true, false, 410},
                                           ProofCase{"ClaimMinusOne", false, false, true, 410}),
                         [](const ::testing::TestParamInfo<ProofCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(LRPC2SecFileAuth, ClientReadsOnlyFilesInsideTheAuthenticationDirectory) {
  // A rogue server names a file outside the directory: the client answers
  // with null blobs instead of disclosing it.
  ASSERT_EQ(mkdir(authDir_.c_str(), 0711), 0);
  const std::string inside = authDir_ + "/lrpc2authABCDEF";
  testsupport::writeFile(inside, std::string(1024, 0x42));
  RawServer rogue;
  auto client = std::async(std::launch::async, [&] {
    int st = -1;
    Client c(SessionConnectWithTimeout(rogue.path().c_str(), nullptr, 30, 2, 0, &st));
    if (c == nullptr) return st;
    Msg req = Completed(MsgType::VGStop);
    Msg reply(SessionSendWithTimeout(c.get(), req.get(), 30, &st));
    return st;
  });
  const int conn = rogue.accept();
  ASSERT_EQ(ReadN(conn, 4), Bytes(B().u32(2)));
  WriteAll(conn, B().u32(1));
  EXPECT_EQ(ReadV2Body(conn), Bytes(B().u16(20).u8(0)));
  WriteAll(conn, V2Frame(B().u16(1).u8(0)));
  EXPECT_EQ(ReadV2Body(conn), Bytes(B().u16(1).u8(3).u32(0).u8(3).u32(0).u8(0)));
  WriteAll(conn, V2Frame(B().u16(2).u8(4).u32(11).str("/etc/passwd")
                             .u8(4).u32(static_cast<uint32_t>(inside.size())).str(inside).u8(0)));
  EXPECT_EQ(ReadV2Body(conn),
            Bytes(B().u16(2).u8(6).u32(0xFFFFFFFF).u8(6).u32(1024).str(std::string(1024, 0x42)).u8(0)));
  WriteAll(conn, V2Frame(B().u16(20).u8(0)));
  EXPECT_EQ(client.get(), SESSION_OK);
}
