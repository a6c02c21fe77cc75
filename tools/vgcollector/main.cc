// vgcollector: the project's own collector, the peer of the daemon's
// collector connection in tests and in the demo. See usage() below.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ofw/atomic_file.h"
#include "ofw/stream/token_wire.h"
#include "ofw/unique_fd.h"
#include "tools/vgcollector/collector_session.h"

namespace {

std::atomic<bool> gStop{false};
void onSignal(int) { gStop = true; }

void usage(FILE* out) {
  fputs(
      "usage: vgcollector [options]\n"
      "Accepts collector connections over TCP as the GSSAPI acceptor (keys from KRB5_KTNAME or\n"
      "--keytab) and writes one JSON line per unit received.\n"
      "  --listen ADDR          IPv4 address to listen on (default 127.0.0.1)\n"
      "  --port N               TCP port (default 0: any free port)\n"
      "  --port-file FILE       write the port there once listening\n"
      "  --keytab FILE          the collector's keytab\n"
      "  --output FILE          append the JSON lines to FILE (default: standard output)\n"
      "  --read-timeout S       drop a client silent for S seconds (default 0: never)\n"
      "  --max-token N          largest token accepted (default 16777216)\n"
      "Fault switches (messages on the session channel are numbered from 1 over the collector's\n"
      "life; every channel-open request is message 0; each switch but --close-every fires once):\n"
      "  --close-after N        close the connection after answering message N\n"
      "  --close-every N        close the connection after answering every Nth message\n"
      "  --exception N:C        answer message N with an exception reply of code C\n"
      "  --wrong-ack N          acknowledge message N with its sequence number + 1\n"
      "  --stall N:S            wait S seconds before answering message N\n"
      "  --refuse-ping V        refuse every ping of version V or above (error report 1)\n"
      "  --refuse-audit-trail   refuse every audit-trail channel open (error report 2)\n"
      "Answers where the protocol leaves the collector free: context tokens and data blocks are\n"
      "sent as token types 2 and 4; blocks are wrapped when the client's options ask for signing\n"
      "or sealing, and sealed when they ask for sealing; control commands are answered by a packet\n"
      "whose body is the command byte; a session message by an acknowledgement (type 0x8001, its\n"
      "sequence number in the header and as the body) or an exception reply (type 0xFFFF: sequence\n"
      "number, code, text for codes 0, 3 and 4), in a string on the session channel; an\n"
      "audit-trail message by an empty packet; a packet is answered only when its flags ask for a\n"
      "reply. Output units: connect, auth, start, greeting, open, message, ping, audit-trail,\n"
      "unknown-channel, control, close.\n",
      out);
}

// The connections being served; each thread marks itself done.
struct Served {
  std::unique_ptr<vgcollector::CollectorSession> session;
  std::thread thread;
  std::atomic<bool> done{false};
};

bool number(const char* s, int64_t& v) {
  char* end = nullptr;
  v = strtoll(s, &end, 10);
  return end != s && *end == '\0' && v >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string listenAddr = "127.0.0.1", portFile, keytab, output;
  int64_t port = 0, readTimeout = 0, maxToken = ofw::stream::DEFAULT_MAX_TOKEN;
  vgcollector::CollectorState state;
  enum { LISTEN = 1000, PORT, PORT_FILE, KEYTAB, OUTPUT, READ_TIMEOUT, MAX_TOKEN, CLOSE_AFTER, CLOSE_EVERY, EXCEPTION,
         WRONG_ACK, STALL, REFUSE_PING, REFUSE_AT, HELP };
  static const option options[] = {
      {"listen", required_argument, nullptr, LISTEN},      {"port", required_argument, nullptr, PORT},
      {"port-file", required_argument, nullptr, PORT_FILE}, {"keytab", required_argument, nullptr, KEYTAB},
      {"output", required_argument, nullptr, OUTPUT},      {"read-timeout", required_argument, nullptr, READ_TIMEOUT},
      {"max-token", required_argument, nullptr, MAX_TOKEN}, {"close-after", required_argument, nullptr, CLOSE_AFTER},
      {"close-every", required_argument, nullptr, CLOSE_EVERY},
      {"exception", required_argument, nullptr, EXCEPTION}, {"wrong-ack", required_argument, nullptr, WRONG_ACK},
      {"stall", required_argument, nullptr, STALL},        {"refuse-ping", required_argument, nullptr, REFUSE_PING},
      {"refuse-audit-trail", no_argument, nullptr, REFUSE_AT}, {"help", no_argument, nullptr, HELP},
      {nullptr, 0, nullptr, 0}};
  vgcollector::Faults& f = state.faults;
  int opt;
  while ((opt = getopt_long(argc, argv, "h", options, nullptr)) != -1) {
    bool ok = true;
    int64_t a = 0, b = 0;
    switch (opt) {
      case LISTEN: listenAddr = optarg; break;
      case PORT: ok = number(optarg, port) && port <= 65535; break;
      case PORT_FILE: portFile = optarg; break;
      case KEYTAB: keytab = optarg; break;
      case OUTPUT: output = optarg; break;
      case READ_TIMEOUT: ok = number(optarg, readTimeout) && readTimeout <= 86400; break;
      case MAX_TOKEN: ok = number(optarg, maxToken) && maxToken <= 0xFFFFFFFFll; break;
      case CLOSE_AFTER: ok = number(optarg, f.closeAfter); break;
      case CLOSE_EVERY: ok = number(optarg, f.closeEvery) && f.closeEvery > 0; break;
      case WRONG_ACK: ok = number(optarg, f.wrongAckAt); break;
      case EXCEPTION:
        ok = vgcollector::parsePair(optarg, a, b) && b <= 0xFFFFFFFFll;
        f.exceptionAt = a;
        f.exceptionCode = static_cast<uint32_t>(b);
        break;
      case STALL:
        ok = vgcollector::parsePair(optarg, a, b) && b <= 86400;
        f.stallAt = a;
        f.stallSeconds = static_cast<int>(b);
        break;
      case REFUSE_PING: ok = number(optarg, a) && a <= 255; f.refusePingFrom = static_cast<int>(a); break;
      case REFUSE_AT: f.refuseAuditTrail = true; break;
      case HELP: case 'h': usage(stdout); return 0;
      default: ok = false;
    }
    if (!ok) {
      if (optarg) fprintf(stderr, "vgcollector: bad value '%s'\n", optarg);
      usage(stderr);
      return 2;
    }
  }
  if (optind != argc) {
    usage(stderr);
    return 2;
  }
  if (!keytab.empty()) setenv("KRB5_KTNAME", ("FILE:" + keytab).c_str(), 1);

  FILE* out = stdout;
  if (!output.empty() && !(out = fopen(output.c_str(), "a"))) {
    perror(output.c_str());
    return 1;
  }
  vgcollector::RecordWriter writer(out);
  state.out = &writer;
  state.maxToken = static_cast<uint32_t>(maxToken);
  state.readTimeout = static_cast<int>(readTimeout);

  ofw::UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, listenAddr.c_str(), &addr.sin_addr) != 1) {
    fprintf(stderr, "vgcollector: bad address %s\n", listenAddr.c_str());
    return 2;
  }
  if (!listener || bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener.get(), 16) != 0) {
    perror("vgcollector: listen");
    return 1;
  }
  socklen_t len = sizeof addr;
  getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  const int bound = ntohs(addr.sin_port);
  if (!portFile.empty()) {
    try {
      ofw::replaceFile(portFile, std::to_string(bound) + "\n");  // a reader never sees a partial number
    } catch (const std::exception& e) {
      fprintf(stderr, "vgcollector: %s\n", e.what());
      return 1;
    }
  }
  fprintf(stderr, "vgcollector listening on %s:%d\n", listenAddr.c_str(), bound);

  struct sigaction sa = {};
  sa.sa_handler = onSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::list<Served> served;
  std::mutex servedMutex;
  while (!gStop) {
    pollfd pfd = {listener.get(), POLLIN, 0};
    if (poll(&pfd, 1, 200) > 0) {
      sockaddr_in from = {};
      socklen_t fromLen = sizeof from;
      ofw::UniqueFd client(accept4(listener.get(), reinterpret_cast<sockaddr*>(&from), &fromLen, SOCK_CLOEXEC));
      if (client) {
        setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        std::string peer = std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
        std::lock_guard<std::mutex> lock(servedMutex);
        served.emplace_back();
        Served& s = served.back();
        s.session.reset(new vgcollector::CollectorSession(state, std::move(client), peer));
        s.thread = std::thread([&s] {
          s.session->run();
          s.done = true;
        });
      }
    }
    std::lock_guard<std::mutex> lock(servedMutex);
    for (auto it = served.begin(); it != served.end();) {
      if (it->done) {
        it->thread.join();
        it = served.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Wake every connection's reader; each then writes its close line.
  {
    std::lock_guard<std::mutex> lock(servedMutex);
    for (auto& s : served) shutdown(s.session->socket(), SHUT_RDWR);
  }
  for (auto& s : served) s.thread.join();
  if (out != stdout) fclose(out);
  return 0;
}
