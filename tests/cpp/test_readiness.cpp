// The event loop's readiness set over real socket pairs: built once with the system's own variant
// (epoll here) and once with the poll variant that macOS and Windows use, so both keep the same
// meaning. Every wait that expects an event has a time-out, and one that expects none asks with 0.
#include "server/platform_socket.hpp"
#include "server/readiness.hpp"
#include "harness.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using holdbank::Readiness;

std::string show(int v) { return std::to_string(v); }

struct Pair {
  int ours = -1, peer = -1;
  Pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      ours = fds[0];
      peer = fds[1];
    }
  }
  Pair(const Pair&) = delete;
  Pair& operator=(const Pair&) = delete;
  ~Pair() {
    if (ours >= 0) close(ours);
    if (peer >= 0) close(peer);
  }
  void send_byte() const {
    const char b = 1;
    CHECK(::send(peer, &b, 1, 0) == 1);
  }
};

constexpr int kExpectMs = 5000;  // a bound, never reached when the event is there

// The events of one wait, as a list to look through.
std::vector<Readiness::Event> wait(Readiness& r, int timeout_ms) {
  Readiness::Event evs[Readiness::kBatch];
  const int n = r.wait(evs, Readiness::kBatch, timeout_ms);
  return std::vector<Readiness::Event>(evs, evs + n);
}

const Readiness::Event* find(const std::vector<Readiness::Event>& evs, Readiness::Key key) {
  for (const auto& e : evs)
    if (e.key == key) return &e;
  return nullptr;
}

void level_triggered_reads_and_writes() {
  Readiness r;
  CHECK(r.ok());
  Pair p;
  const Readiness::Key key = 7;
  CHECK(r.watch(p.ours, key, true, false));
  CHECK(wait(r, 0).empty());  // nothing to read yet
  p.send_byte();
  for (int round = 0; round < 2; ++round) {  // reported again while the byte is unread
    const auto evs = wait(r, kExpectMs);
    const Readiness::Event* e = find(evs, key);
    CHECK(e && e->readable && !e->writable);
  }
  // Watching for writing only: the unread byte is not reported, the room to send is.
  CHECK(r.change(p.ours, key, false, true));
  const auto evs = wait(r, kExpectMs);
  const Readiness::Event* e = find(evs, key);
  CHECK(e && e->writable && !e->readable);
  r.forget(p.ours, key);
  CHECK(wait(r, 0).empty());
}

void once_until_rearmed() {
  Readiness r;
  Pair p;
  const Readiness::Key key = 7;
  CHECK(r.watch_once(p.ours, key));
  p.send_byte();
  CHECK(find(wait(r, kExpectMs), key) != nullptr);
  CHECK(wait(r, 0).empty());  // still readable, but not rearmed
  CHECK(r.rearm_once(p.ours, key));
  CHECK(find(wait(r, kExpectMs), key) != nullptr);
}

void peer_gone_is_reported() {
  Readiness r;
  Pair p;
  const Readiness::Key key = 7;
  CHECK(r.watch(p.ours, key, true, false));
  close(p.peer);
  p.peer = -1;
  const auto evs = wait(r, kExpectMs);
  const Readiness::Event* e = find(evs, key);
  CHECK(e && (e->readable || e->hangup));
}

// A descriptor closed behind the set's back, whose number then goes to a new connection: after
// forget_closed() only the new registration is reported, never under the old key.
void closed_number_reused() {
  Readiness r;
  const Readiness::Key old_key = 1, new_key = 2;
  auto* first = new Pair;
  const int number = first->ours;
  CHECK(r.watch(first->ours, old_key, true, false));
  close(first->ours);
  first->ours = -1;
  r.forget_closed(old_key);
  Pair second;  // the lowest free number: the one just closed
  CHECK_EQ(second.ours, number);
  CHECK(r.watch(second.ours, new_key, true, false));
  delete first;  // its peer's close must not be reported under either key
  second.send_byte();
  const auto evs = wait(r, kExpectMs);
  CHECK(find(evs, old_key) == nullptr);
  const Readiness::Event* e = find(evs, new_key);
  CHECK(e && e->readable);
  CHECK_EQ(static_cast<int>(evs.size()), 1);
}

// A socket that another process also holds (a forked child; here a second descriptor of our own
// has the same effect), closed in this one after its peer hung up: epoll goes on reporting the
// registration, so forget_key() says whether the set can drop it by its key, and reset() is rid of
// it where it cannot. The poll variant never reports it again.
void closed_while_held_elsewhere() {
  Readiness r;
  Pair p;
  const Readiness::Key key = 9;
  CHECK(r.watch(p.ours, key, true, false));
  const int held = dup(p.ours);
  CHECK(held >= 0);
  close(p.peer);
  p.peer = -1;
  close(p.ours);
  p.ours = -1;
  r.forget_closed(key);
  if (!r.forget_key(key)) {
    CHECK(find(wait(r, kExpectMs), key) != nullptr);  // the stale registration the loop must not spin on
    CHECK(r.reset());
  }
  CHECK(wait(r, 0).empty());
  close(held);
}

void many_descriptors_in_one_wait() {
  Readiness r;
  std::vector<Pair> pairs(20);
  for (std::size_t i = 0; i < pairs.size(); ++i) CHECK(r.watch(pairs[i].ours, 100 + i, true, false));
  for (std::size_t i = 0; i < pairs.size(); i += 2) pairs[i].send_byte();
  const auto evs = wait(r, kExpectMs);
  for (std::size_t i = 0; i < pairs.size(); ++i) CHECK((find(evs, 100 + i) != nullptr) == (i % 2 == 0));
}

void wake_signal() {
  holdbank::sock::WakeSignal wake;
  CHECK(wake.open());
  Readiness r;
  CHECK(r.watch(wake.handle(), 1, true, false));
  CHECK(wait(r, 0).empty());
  wake.signal();
  wake.signal();  // two signals, one wake-up's worth once drained
  CHECK(find(wait(r, kExpectMs), 1) != nullptr);
  wake.drain();
  CHECK(wait(r, 0).empty());
}

}  // namespace

int main() {
  harness::run_case("level-triggered reads and writes", level_triggered_reads_and_writes);
  harness::run_case("reported once until rearmed", once_until_rearmed);
  harness::run_case("a peer gone is reported", peer_gone_is_reported);
  harness::run_case("a closed number reused", closed_number_reused);
  harness::run_case("a socket closed while held elsewhere", closed_while_held_elsewhere);
  harness::run_case("many descriptors in one wait", many_descriptors_in_one_wait);
  harness::run_case("the wake-up signal", wake_signal);
  return harness::finish();
}
