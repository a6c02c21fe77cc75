// Version-2 secure-file authentication (needs root: the server chowns its
// challenge files to the claimed uid and gid).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <future>

#include "frames.h"
#include "lrpc2/session.h"

using namespace lrpc2test;

namespace {

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (struct dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") out.push_back(name);
  }
  closedir(d);
  return out;
}

class LRPC2SecFileAuth : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    // Other users must be able to traverse to the authentication directory.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);
    authDir_ = dir_.path() + "/lrpc2auth";
    SessionSetAuthFileDir(authDir_.c_str());
  }
  void TearDown() override { SessionSetAuthFileDir(nullptr); }

  TempDir dir_;
  std::string authDir_;
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
    FrameShape f;
    f.version = 2;
    if (!WriteAll(p.b, Frame(f, B().u16(static_cast<uint16_t>(requestType)).u8(0)))) return false;
    recv = std::async(std::launch::async, [this] {
      int status = -1;
      LRPC2Msg* m = SessionRecv(p.a, s, 30, &status, 0);
      return std::make_pair(m, status);
    });
    return true;
  }
  // Reads one server message (version-2 header) and wraps it.
  Msg next() {
    Bytes h = ReadN(p.b, 8);
    if (h.size() != 8) return nullptr;
    Bytes body = ReadN(p.b, U32At(h, 4) - 8);
    int st;
    return Msg(MsgNewFromData(body.data(), body.size(), 1, nullptr, 0, &st));
  }
  void send(const Bytes& body) {
    FrameShape f;
    f.version = 2;
    WriteAll(p.b, Frame(f, body));
  }
  ~RawV2() {
    if (recv.valid()) {
      auto r = recv.get();
      MsgFree(r.first);
    }
    SessionServerClose(s);
  }
};

Bytes ReadFile(const std::string& path) {
  Bytes out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return out;
  uint8_t buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  fclose(f);
  return out;
}

}  // namespace

TEST_F(LRPC2SecFileAuth, EndToEndAsRoot) {
  const std::string path = dir_.path() + "/audit";
  TestServer server(path, SIGN_SETTING_DISABLED);
  ASSERT_TRUE(server.start());
  int st = -1;
  LRPC2SessionClient* c = SessionConnectWithTimeout(path.c_str(), nullptr, 30, 2, 0, &st);
  ASSERT_EQ(st, SESSION_OK);
  for (uint32_t type : {MsgType::VGPing, MsgType::VGStop, MsgType::VGSessionEnd}) {
    LRPC2Msg* req = NewMsg(type);
    MsgComplete(req);
    Msg reply(SessionSendWithTimeout(c, req, 30, &st));
    MsgFree(req);
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
  SessionClientClose(c);
  ASSERT_TRUE(server.waitConnections(1));
  EXPECT_EQ(server.recvStatuses(), (std::vector<int>{0, 0, 0, SESSION_ERR_CLOSED}));
  // The directory was created private and is empty again.
  struct stat sb;
  ASSERT_EQ(lstat(authDir_.c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 07777, 0711u);
  EXPECT_EQ(sb.st_uid, 0u);
  EXPECT_TRUE(Entries(authDir_).empty());
}

TEST_F(LRPC2SecFileAuth, UnprivilegedClientAuthenticatesAsItself) {
  const std::string path = dir_.path() + "/audit";
  TestServer server(path, SIGN_SETTING_DISABLED);
  ASSERT_TRUE(server.start());
  ASSERT_EQ(chmod(path.c_str(), 0777), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(30);
    int st = -1;
    LRPC2SessionClient* c = SessionConnectWithTimeout(path.c_str(), nullptr, 30, 2, 0, &st);
    if (c == nullptr) _exit(31);
    LRPC2Msg* req = NewMsg(MsgType::VGStop);
    MsgComplete(req);
    LRPC2Msg* reply = SessionSendWithTimeout(c, req, 30, &st);
    if (reply == nullptr) _exit(32);
    void* blob = nullptr;
    uint32_t n = 0;
    int32_t uid = -1;
    if (MsgReadBlob(reply, &blob, &n) != MSG_OK || MsgReadInt32(reply, &uid) != MSG_OK) _exit(33);
    _exit(uid == 65534 ? 0 : 34);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(server.waitConnections(1));
  EXPECT_EQ(server.recvStatuses(), (std::vector<int>{0, SESSION_ERR_CLOSED}));
  EXPECT_TRUE(Entries(authDir_).empty());
}

TEST_F(LRPC2SecFileAuth, UnprivilegedClientClaimingRootFailsAndFilesAreRemoved) {
  const std::string path = dir_.path() + "/audit";
  TestServer server(path, SIGN_SETTING_DISABLED);
  ASSERT_TRUE(server.start());
  ASSERT_EQ(chmod(path.c_str(), 0777), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A raw client as an unprivileged user that claims uid 0 and gid 0: it
    // cannot read the files, so it sends what it has (nothing).
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(30);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(31);
    FrameShape f;
    f.version = 2;
    if (!WriteAll(fd, Hello(2)) || ReadN(fd, 4).size() != 4) _exit(32);
    WriteAll(fd, Frame(f, B().u16(20).u8(0)));
    Bytes h = ReadN(fd, 8);
    if (h.size() != 8 || ReadN(fd, U32At(h, 4) - 8) != Bytes(B().u16(1).u8(0))) _exit(33);
    WriteAll(fd, Frame(f, B().u16(1).u8(3).u32(0).u8(3).u32(0).u8(0)));
    h = ReadN(fd, 8);
    if (h.size() != 8) _exit(34);
    Bytes body = ReadN(fd, U32At(h, 4) - 8);
    int st;
    LRPC2Msg* m = MsgNewFromData(body.data(), body.size(), 1, nullptr, 0, &st);
    char* paths[2] = {nullptr, nullptr};
    if (m == nullptr || MsgReadString(m, &paths[0]) != MSG_OK || MsgReadString(m, &paths[1]) != MSG_OK)
      _exit(35);
    for (char* p : paths)
      if (open(p, O_RDONLY) >= 0) _exit(36);  // must not be readable
    WriteAll(fd, Frame(f, B().u16(2).u8(6).u32(0xFFFFFFFF).u8(6).u32(0xFFFFFFFF).u8(0)));
    // The server gives up on the client: end of file.
    char byte;
    _exit(read(fd, &byte, 1) == 0 ? 0 : 37);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(server.waitConnections(1));
  EXPECT_EQ(server.recvStatuses(), std::vector<int>{SESSION_ERR_AUTH});
  EXPECT_TRUE(Entries(authDir_).empty());
}

TEST_F(LRPC2SecFileAuth, ChallengeFilesAndClientLeavingMidway) {
  RawV2 raw;
  ASSERT_TRUE(raw.start(MsgType::VGStop));
  Msg challenge = raw.next();
  ASSERT_NE(challenge, nullptr);
  EXPECT_EQ(BodyOf(challenge.get()), Bytes(B().u16(1).u8(0)));
  raw.send(B().u16(1).u8(3).u32(4321).u8(3).u32(8765).u8(0));
  Msg response = raw.next();
  ASSERT_NE(response, nullptr);
  uint32_t type = 0;
  MsgReadMsgType(response.get(), &type);
  EXPECT_EQ(type, 2u);
  char* userPath = nullptr;
  char* groupPath = nullptr;
  ASSERT_EQ(MsgReadString(response.get(), &userPath), MSG_OK);
  ASSERT_EQ(MsgReadString(response.get(), &groupPath), MSG_OK);
  const std::string userFile = userPath, groupFile = groupPath;
  free(userPath);
  free(groupPath);
  EXPECT_EQ(userFile.rfind(authDir_ + "/", 0), 0u);
  struct stat u, g;
  ASSERT_EQ(lstat(userFile.c_str(), &u), 0);
  ASSERT_EQ(lstat(groupFile.c_str(), &g), 0);
  EXPECT_TRUE(S_ISREG(u.st_mode));
  EXPECT_EQ(u.st_mode & 07777, 0400u);
  EXPECT_EQ(u.st_uid, 4321u);
  EXPECT_EQ(u.st_gid, 0u);
  EXPECT_EQ(u.st_size, 1024);
  EXPECT_EQ(g.st_mode & 07777, 0440u);
  EXPECT_EQ(g.st_uid, 0u);
  EXPECT_EQ(g.st_gid, 8765u);
  EXPECT_EQ(g.st_size, 1024);
  EXPECT_NE(ReadFile(userFile), ReadFile(groupFile));
  EXPECT_EQ(Entries(authDir_).size(), 2u);
  raw.p.closeB();
  auto r = raw.recv.get();
  EXPECT_EQ(r.first, nullptr);
  EXPECT_EQ(r.second, SESSION_ERR_CLOSED);
  EXPECT_TRUE(Entries(authDir_).empty());
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
  Msg challenge = raw.next();
  ASSERT_NE(challenge, nullptr);
  raw.send(B().u16(1).u8(3).u32(c.claimMinusOne ? 0xFFFFFFFF : 0).u8(3).u32(0).u8(0));
  if (c.claimMinusOne) {
    auto r = raw.recv.get();
    EXPECT_EQ(r.second, c.status);
    EXPECT_TRUE(Entries(authDir_).empty());
    return;
  }
  Msg response = raw.next();
  ASSERT_NE(response, nullptr);
  char* paths[2] = {nullptr, nullptr};
  ASSERT_EQ(MsgReadString(response.get(), &paths[0]), MSG_OK);
  ASSERT_EQ(MsgReadString(response.get(), &paths[1]), MSG_OK);
  Bytes user = ReadFile(paths[0]);
  Bytes group = ReadFile(paths[1]);
  if (c.replaceUserFile) {
    // Same name and content, but another file.
    ASSERT_EQ(unlink(paths[0]), 0);
    FILE* f = fopen(paths[0], "wb");
    ASSERT_NE(f, nullptr);
    fwrite(user.data(), 1, user.size(), f);
    fclose(f);
  }
  if (c.wrongContent) group[100] ^= 1;
  free(paths[0]);
  free(paths[1]);
  raw.send(B().u16(2).u8(6).u32(1024).raw(user.data(), 1024).u8(6).u32(1024).raw(group.data(), 1024).u8(0));
  auto r = raw.recv.get();
  Msg request(r.first);
  EXPECT_EQ(r.second, c.status);
  if (c.status == SESSION_OK) {
    uint32_t type = 0;
    MsgReadMsgType(request.get(), &type);
    EXPECT_EQ(type, 120u);  // the original request
    int uid = -1, gid = -1;
    ASSERT_EQ(SessionProcessIdentity(raw.s, &uid, &gid), SESSION_OK);
    EXPECT_EQ(uid, 0);
    EXPECT_EQ(gid, 0);
  } else {
    int uid, gid;
    EXPECT_EQ(SessionProcessIdentity(raw.s, &uid, &gid), SESSION_ERR_IDENTITY);
  }
  EXPECT_TRUE(Entries(authDir_).empty());
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
  {
    FILE* f = fopen(inside.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    Bytes content(1024, 0x42);
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
  }
  const std::string path = dir_.path() + "/rogue";
  const int listenFd = Listen(path);
  ASSERT_GE(listenFd, 0);
  auto client = std::async(std::launch::async, [&] {
    int st = -1;
    LRPC2SessionClient* c = SessionConnectWithTimeout(path.c_str(), nullptr, 30, 2, 0, &st);
    if (c == nullptr) return st;
    LRPC2Msg* req = NewMsg(MsgType::VGStop);
    MsgComplete(req);
    Msg reply(SessionSendWithTimeout(c, req, 30, &st));
    MsgFree(req);
    SessionClientClose(c);
    return st;
  });
  struct pollfd pf = {listenFd, POLLIN, 0};
  ASSERT_EQ(poll(&pf, 1, 30000), 1);
  const int conn = accept(listenFd, nullptr, nullptr);
  ASSERT_EQ(ReadN(conn, 4), Bytes(B().u32(2)));
  WriteAll(conn, B().u32(1));
  auto readMsg = [&]() {
    Bytes h = ReadN(conn, 8);
    return ReadN(conn, U32At(h, 4) - 8);
  };
  EXPECT_EQ(readMsg(), Bytes(B().u16(20).u8(0)));
  FrameShape f;
  f.version = 2;
  WriteAll(conn, Frame(f, B().u16(1).u8(0)));
  const Bytes claim = readMsg();
  EXPECT_EQ(claim, Bytes(B().u16(1).u8(3).u32(0).u8(3).u32(0).u8(0)));
  Bytes resp = B().u16(2).u8(4).u32(static_cast<uint32_t>(strlen("/etc/passwd"))).str("/etc/passwd")
                   .u8(4).u32(static_cast<uint32_t>(inside.size())).str(inside).u8(0);
  WriteAll(conn, Frame(f, resp));
  const Bytes proof = readMsg();
  const Bytes expected = B().u16(2).u8(6).u32(0xFFFFFFFF).u8(6).u32(1024).raw(Bytes(1024, 0x42).data(), 1024).u8(0);
  EXPECT_EQ(proof, expected);
  WriteAll(conn, Frame(f, B().u16(20).u8(0)));
  EXPECT_EQ(client.get(), SESSION_OK);
  close(conn);
  close(listenFd);
}
