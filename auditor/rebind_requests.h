// Hands collector rebind requests from the threads that serve local requests
// to the one thread that owns the collector connection, and the outcome back.
//
// Requests posted while an evaluation runs are answered by the next one (a
// rebind asked for after the collector changed sees the change). A waiter
// whose time runs out leaves its request in place: it is still evaluated,
// only nobody hears the outcome. cancel() answers every waiter at once
// (shutdown). All members are safe from any thread.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace Vigilog {

class RebindRequests {
 public:
  struct Outcome {
    int code = -1;  // a rebind result code (collector_selection.h); -1 none
    std::string oldName;
    std::string newName;
  };

  // Request thread: posts a request and returns its ticket.
  uint64_t post();
  // Waits until the ticket was answered, at most `seconds`; false on time-out.
  bool wait(uint64_t ticket, int seconds, Outcome& out);

  // Owner thread: the newest ticket not answered yet, 0 when none. Evaluate,
  // then answer it and all before it with complete().
  uint64_t take();
  void complete(uint64_t upTo, const Outcome& outcome);
  bool pending();

  // Answers every request posted so far with code -1 and makes later ones
  // answered at once the same way.
  void cancel();

 private:
  std::mutex mutex_;
  std::condition_variable answered_;
  uint64_t posted_ = 0;
  uint64_t served_ = 0;
  bool cancelled_ = false;
  Outcome last_;
};

}  // namespace Vigilog
