// LRPC2ClientSession: a small C++ owner of a client session, used by the
// daemon's start-up socket probe, the tools and the tests.
//
// Errors are thrown as ofw::IOException whose code is the LRPC2 status and
// whose text ends with the status text (SessionErr2Str).
#pragma once
#include <memory>
#include <string>

#include "lrpc2/msg.h"
#include "lrpc2/session.h"

class LRPC2ClientSession {
 public:
  LRPC2ClientSession() = default;
  ~LRPC2ClientSession();
  LRPC2ClientSession(const LRPC2ClientSession&) = delete;
  LRPC2ClientSession& operator=(const LRPC2ClientSession&) = delete;

  // Connects and negotiates; closes an open session first. Throws on failure.
  void connect(const std::string& path, int timeoutSeconds, int signSetting, int version = 5,
               const MsgTable* table = nullptr);
  // A new request of `type` with the transport's header space reserved.
  MsgPtr newRequest(uint32_t type) const;
  // Completes the request if needed, sends it and waits for its reply.
  // Returns null for an asynchronous request. Throws on failure.
  MsgPtr request(LRPC2Msg* req, int timeoutSeconds);
  // Sends VGPing (type 10) and waits for its reply: true when answered with a
  // VGPing reply, false for any other well-formed reply. Throws on failure.
  bool ping(int timeoutSeconds);
  bool isConnected() const { return session_ != nullptr && SessionIsConnected(session_); }
  void close();
  LRPC2SessionClient* handle() const { return session_; }

 private:
  LRPC2SessionClient* session_ = nullptr;
  const MsgTable* table_ = nullptr;
};
