// libFuzzer target over the Modbus TCP protocol core: a byte stream from the network, cut into
// receives at arbitrary places, assembled into frames and executed against a plain C++ bank.
//
// Input layout (see make_seeds.py):
//   byte 0  bank shape: bits 0-1 size, bits 2-4 writable layout, bits 5-6 registers the host
//           filled with values that are not 16-bit words, bit 7 the bank decides a
//           write-multiple's writability at once and nothing observes its denials after the first
//   byte 1  receive sizes: bits 0-2 largest receive, bits 3-7 seed of the sizes
//   byte 2  minimum free space asked of the assembler per receive (index into a table)
//   byte 3  bits 0-6: the n-th bank call throws (0: none), as a failing host hook would;
//           bit 7: every call after it throws too
//   rest    the TCP byte stream
//
// What must hold for every input (a violation aborts, which libFuzzer reports as a crash):
//   - frames come out exactly as a plain parse of the whole stream gives them, however the
//     stream was cut, and the bytes after the last whole frame stay buffered;
//   - every answer is well formed: MBAP fields echoed, length field = answer PDU size + 1,
//     function code echoed or an exception fc|0x80 with code 1, 2, 3 or 4 fitting the request;
//   - the answer is the one the request calls for (a small independent model of the three
//     function codes);
//   - the bank changes only by the stores of accepted writes, a write-multiple stores all of its
//     registers or none, and nothing is stored or notified for a refused request;
//   - the lock is taken and released in balance, also when a bank call throws; registers are read
//     and stored only under it; writability and refusals are never asked or told under it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "modbus_core.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Store = std::pair<std::uint32_t, std::uint16_t>;

[[noreturn]] void fail(const char* what, int line) {
  std::fprintf(stderr, "fuzz_core: invariant violated at line %d: %s\n", line, what);
  std::abort();
}
#define REQUIRE(cond)                 \
  do {                                \
    if (!(cond)) fail(#cond, __LINE__); \
  } while (0)

struct HookFailure : std::runtime_error {
  HookFailure() : std::runtime_error("bank call failed") {}
};

// The writable layouts a host script can set up with ranges; addresses are 32-bit because a
// request may reach past 65535 (start + i does not wrap).
bool layout_allows(int layout, std::uint32_t a) {
  switch (layout) {
    case 0: return true;                                  // no ranges: everything writable
    case 1: return false;                                 // a read-only bank
    case 2: return a <= 9;
    case 3: return a == 5 || a >= 100;
    case 4: return a != 7;
    case 5: return (a & 1) != 0;
    case 6: return a >= 65530 && a <= 65700;              // beyond the bank and past 16 bits
    default: return a >= 2 && a <= 127;
  }
}

struct FuzzBank {
  std::vector<std::uint32_t> regs;  // values above 0xFFFF: put there by the host, not sendable
  int layout = 0;
  unsigned calls = 0;
  unsigned throw_at = 0;  // 1-based index of the call that throws; 0: none
  bool keep_throwing = false;
  bool at_once = false;
  int depth = 0;
  unsigned locks = 0, unlocks = 0;
  unsigned reads = 0;
  std::vector<Store> stores, writes, denied;

  void call() {
    ++calls;
    if (throw_at && (calls == throw_at || (keep_throwing && calls > throw_at))) throw HookFailure();
  }
  bool is_writable(std::uint32_t a) {
    REQUIRE(depth == 0);
    call();
    return layout_allows(layout, a);
  }
  std::optional<bool> all_writable(std::uint32_t start, std::uint32_t count) {
    REQUIRE(depth == 0);
    if (!at_once) return std::nullopt;
    call();
    for (std::uint32_t i = 0; i < count; ++i)
      if (!layout_allows(layout, start + i)) return false;
    return true;
  }
  void lock() {
    REQUIRE(depth == 0);  // never nested: the host lock is not re-entrant
    call();               // a failed acquire leaves the lock free
    ++depth;
    ++locks;
  }
  void unlock() {
    REQUIRE(depth == 1);
    --depth;
    ++unlocks;
    call();  // a release that reports an error after releasing
  }
  void abandon() {  // left by an error: released, and nothing thrown over it
    REQUIRE(depth == 1);
    --depth;
    ++unlocks;
  }
  bool read(std::uint32_t a, std::uint16_t& v) {
    REQUIRE(depth == 1);
    call();
    ++reads;
    const std::uint32_t x = a < regs.size() ? regs[a] : 0;
    v = static_cast<std::uint16_t>(x);
    return x <= 0xFFFF;
  }
  void store(std::uint32_t a, std::uint16_t v) {
    REQUIRE(depth == 1);
    call();
    stores.emplace_back(a, v);
    if (a < regs.size()) regs[a] = v;
  }
  void notify_write(std::uint32_t a, std::uint16_t v) {
    call();
    writes.emplace_back(a, v);
  }
  bool notify_write_denied(std::uint32_t a, std::uint16_t v) {
    REQUIRE(depth == 0);
    call();
    denied.emplace_back(a, v);
    return !at_once;
  }
};

struct Expected {
  bool malformed = false;
  Bytes pdu;                 // answer PDU
  std::vector<Store> stores;  // in order; also the write notifications
  std::vector<Store> denied;
  unsigned reads = 0;
};

std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
void push16(Bytes& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}

// What a request must produce, from the protocol alone, given the bank before it.
Expected model(const std::uint8_t* pdu, std::size_t len, const std::vector<std::uint32_t>& regs, int layout,
               bool at_once) {
  Expected e;
  const std::uint8_t fc = pdu[0];
  auto exception = [&](std::uint8_t code) { e.pdu = {static_cast<std::uint8_t>(fc | 0x80), code}; };
  if (fc != 3 && fc != 6 && fc != 16) {
    exception(1);
    return e;
  }
  if (len < (fc == 16 ? 6u : 5u)) {
    e.malformed = true;
    return e;
  }
  const std::uint32_t start = u16(pdu + 1);
  const std::uint32_t second = u16(pdu + 3);
  if (fc == 3) {
    if (second >= 128) {
      exception(3);
      return e;
    }
    e.reads = second;
    e.pdu = {3, static_cast<std::uint8_t>(2 * second)};
    for (std::uint32_t i = 0; i < second; ++i) {
      const std::uint32_t x = start + i < regs.size() ? regs[start + i] : 0;
      if (x > 0xFFFF) {
        exception(4);
        return e;
      }
      push16(e.pdu, x);
    }
    return e;
  }
  if (fc == 6) {
    if (!layout_allows(layout, start)) {
      e.denied.emplace_back(start, static_cast<std::uint16_t>(second));
      exception(2);
      return e;
    }
    e.stores.emplace_back(start, static_cast<std::uint16_t>(second));
    e.pdu.assign(pdu, pdu + len);
    return e;
  }
  for (std::uint32_t i = 0; i < second; ++i) {
    if (!layout_allows(layout, start + i)) {
      for (std::uint32_t j = 0; j < (at_once ? 1 : second); ++j) e.denied.emplace_back(start + j, 0);
      exception(2);
      return e;
    }
  }
  if (len - 6 < 2 * static_cast<std::size_t>(second)) {
    exception(3);
    return e;
  }
  for (std::uint32_t i = 0; i < second; ++i) e.stores.emplace_back(start + i, u16(pdu + 6 + 2 * i));
  e.pdu = {16};
  push16(e.pdu, start);
  push16(e.pdu, second);
  return e;
}

// Structural checks that hold whatever the bank contains.
void check_well_formed(const modbus::Header& h, const std::uint8_t* pdu, std::size_t len, const Bytes& answer) {
  REQUIRE(answer.size() >= modbus::kHeaderSize + 2);
  const std::size_t answer_pdu = answer.size() - modbus::kHeaderSize;
  REQUIRE(answer_pdu <= (len > 256 ? len : 256));
  REQUIRE(u16(answer.data()) == h.tx_id);
  REQUIRE(u16(answer.data() + 2) == h.proto_id);
  REQUIRE(u16(answer.data() + 4) == answer_pdu + 1);
  REQUIRE(answer[6] == h.unit_id);
  const std::uint8_t fc = pdu[0];
  const std::uint8_t got = answer[7];
  const bool served = fc == 3 || fc == 6 || fc == 16;
  if (served && got == fc) return;  // a normal answer; its content is checked against the model
  REQUIRE(got == (fc | 0x80));
  REQUIRE(answer_pdu == 2);
  const std::uint8_t code = answer[8];
  REQUIRE(code >= 1 && code <= 4);
  REQUIRE((code == 1) == !served);
  if (code == 2) REQUIRE(fc == 6 || fc == 16);
  if (code == 3) REQUIRE(fc == 3 || fc == 16);
  if (code == 4) REQUIRE(fc == 3);
}

bool is_prefix(const std::vector<Store>& part, const std::vector<Store>& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

void execute_one(const modbus::Frame& f, FuzzBank& bank, std::vector<std::uint32_t>& shadow, Bytes& answer) {
  const Expected e = model(f.pdu, f.pdu_len, bank.regs, bank.layout, bank.at_once);
  bank.stores.clear();
  bank.writes.clear();
  bank.denied.clear();
  bank.reads = 0;
  const unsigned locks = bank.locks, unlocks = bank.unlocks, calls = bank.calls;
  bool threw = false;
  modbus::Result r{};
  try {
    r = modbus::execute(f.header, f.pdu, f.pdu_len, bank, answer);
  } catch (const HookFailure&) {
    threw = true;
  }
  // Balanced whatever happened, and never held across requests.
  REQUIRE(bank.depth == 0);
  REQUIRE(bank.locks - locks == bank.unlocks - unlocks);
  REQUIRE(bank.locks - locks <= 1);

  if (threw) {
    // What was done before the failure stays done, but only what the request called for.
    REQUIRE(!e.malformed);
    REQUIRE(is_prefix(bank.stores, e.stores));
    REQUIRE(is_prefix(bank.writes, e.stores));
    REQUIRE(is_prefix(bank.denied, e.denied));
    for (const Store& s : bank.stores)
      if (s.first < shadow.size()) shadow[s.first] = s.second;
    REQUIRE(shadow == bank.regs);
    return;
  }
  if (e.malformed) {
    REQUIRE(r.outcome == modbus::Outcome::Malformed);
    REQUIRE(r.error != nullptr);
    REQUIRE(bank.calls == calls);  // rejected before the bank is touched
    REQUIRE(shadow == bank.regs);
    return;
  }
  REQUIRE(r.outcome == modbus::Outcome::Answered);
  REQUIRE(r.error == nullptr);
  check_well_formed(f.header, f.pdu, f.pdu_len, answer);
  REQUIRE(Bytes(answer.begin() + modbus::kHeaderSize, answer.end()) == e.pdu);
  REQUIRE(bank.reads == e.reads);
  REQUIRE(bank.stores == e.stores);
  REQUIRE(bank.writes == e.stores);
  REQUIRE(bank.denied == e.denied);
  // The bank moves only by the stores of an accepted write, all of them.
  for (const Store& s : e.stores)
    if (s.first < shadow.size()) shadow[s.first] = s.second;
  REQUIRE(shadow == bank.regs);
}

// The frames a plain parse of the whole stream gives, and where it stops.
struct Parsed {
  modbus::Header h;
  std::size_t offset, pdu_len;
  bool dropped;
};
std::size_t parse_whole(const std::uint8_t* s, std::size_t n, std::vector<Parsed>& out) {
  std::size_t pos = 0;
  while (n - pos >= modbus::kHeaderSize) {
    const modbus::Header h = modbus::parse_header(s + pos);
    if (h.length <= 1) {
      out.push_back({h, pos + modbus::kHeaderSize, 0, true});
      pos += modbus::kHeaderSize;
      continue;
    }
    const std::size_t pdu_len = h.length - 1u;
    if (n - pos - modbus::kHeaderSize < pdu_len) break;
    out.push_back({h, pos + modbus::kHeaderSize, pdu_len, false});
    pos += modbus::kHeaderSize + pdu_len;
  }
  return pos;
}

constexpr std::size_t kSizes[] = {0, 3, 130, 300};
constexpr std::size_t kMaxReceive[] = {1, 2, 3, 7, 8, 13, 300, 70000};
constexpr std::size_t kMinFree[] = {0, 1, 2, 7, 64, 4096, 5000, 70000};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t shape = data[0], cuts = data[1], free_sel = data[2], throw_at = data[3];
  const std::uint8_t* stream = data + 4;
  const std::size_t n = size - 4;

  FuzzBank bank;
  bank.regs.resize(kSizes[shape & 3]);
  for (std::size_t i = 0; i < bank.regs.size(); ++i) bank.regs[i] = static_cast<std::uint16_t>(i * 40503u + 7);
  switch ((shape >> 5) & 3) {
    case 1: if (bank.regs.size() > 1) bank.regs[1] = 0x10000; break;
    case 2: for (std::size_t i = 0; i < bank.regs.size(); i += 7) bank.regs[i] = 0x1FFFF; break;
    case 3: if (!bank.regs.empty()) bank.regs.back() = 0xFFFFFFFFu; break;
    default: break;
  }
  bank.layout = (shape >> 2) & 7;
  bank.at_once = (shape & 0x80) != 0;
  bank.throw_at = throw_at & 0x7F;
  bank.keep_throwing = (throw_at & 0x80) != 0;
  std::vector<std::uint32_t> shadow = bank.regs;

  std::vector<Parsed> expected_frames;
  const std::size_t consumed = parse_whole(stream, n, expected_frames);

  // Receive sizes: a small xorshift generator, so that the fuzzer steers the cuts with two bits
  // of input and a seed instead of spending stream bytes on them.
  std::uint32_t rng = 0x9E3779B9u ^ (static_cast<std::uint32_t>(cuts) * 0x01000193u);
  const std::size_t max_receive = kMaxReceive[cuts & 7];
  const std::size_t min_free = kMinFree[free_sel & 7];

  modbus::FrameAssembler frames;
  Bytes answer;
  std::size_t pos = 0, next_frame = 0;
  while (pos < n) {
    auto space = frames.recv_space(min_free);
    REQUIRE(space.first != nullptr);
    REQUIRE(space.second >= (min_free ? min_free : 1));
    // Buffered bytes plus the free tail: one frame plus one receive, doubled at most.
    REQUIRE(space.second <= 2 * (modbus::kMaxFrame + (min_free > 4096 ? min_free : 4096)));
    std::memset(space.first, 0xA5, space.second);  // the whole space offered must be writable
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    std::size_t k = 1 + rng % max_receive;
    if (k > space.second) k = space.second;
    if (k > n - pos) k = n - pos;
    std::memcpy(space.first, stream + pos, k);
    frames.commit(k);
    pos += k;

    modbus::Frame f;
    while (frames.next(f)) {
      REQUIRE(next_frame < expected_frames.size());
      const Parsed& p = expected_frames[next_frame++];
      REQUIRE(f.dropped == p.dropped);
      REQUIRE(f.header.tx_id == p.h.tx_id && f.header.proto_id == p.h.proto_id &&
              f.header.length == p.h.length && f.header.unit_id == p.h.unit_id);
      rng = rng * 1103515245u + 12345u;
      if (rng & 0x10000u) {
        // Given back (to the party that serves the connection next), it comes out again, once.
        const std::size_t held = frames.buffered();
        frames.put_back();
        modbus::Frame again;
        REQUIRE(frames.next(again));
        REQUIRE(again.dropped == f.dropped && again.pdu == f.pdu && again.pdu_len == f.pdu_len);
        REQUIRE(frames.buffered() == held);
      }
      if (f.dropped) {
        REQUIRE(f.pdu_len == 0);
        continue;
      }
      REQUIRE(f.pdu_len == p.pdu_len);
      REQUIRE(std::memcmp(f.pdu, stream + p.offset, f.pdu_len) == 0);
      execute_one(f, bank, shadow, answer);
    }
  }
  REQUIRE(next_frame == expected_frames.size());
  REQUIRE(frames.buffered() == n - consumed);
  return 0;
}
