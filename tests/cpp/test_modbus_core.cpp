// Tests of the Modbus TCP core: frame assembly from a byte stream and request execution against a
// bank that logs every call, so the exact order of bank calls (which the host hooks observe) is checked.
#include "modbus_core.hpp"
#include "harness.hpp"
#include "writable_ranges.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------------------------
// How values are shown when a check fails

namespace {

using harness::report_failure;
using harness::run_case;

std::string hex(const std::vector<std::uint8_t>& v) {
  std::string s;
  char b[4];
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i == 48) {
      s += "... (" + std::to_string(v.size()) + " bytes)";
      break;
    }
    std::snprintf(b, sizeof b, "%02X ", v[i]);
    s += b;
  }
  return s;
}

std::string join(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : ", ") + x;
  return "[" + s + "]";
}

std::string show(const std::string& s) { return "\"" + s + "\""; }
std::string show(const std::vector<std::uint8_t>& v) { return hex(v); }
std::string show(const std::vector<std::string>& v) { return join(v); }
template <class T>
std::string show(const T& v) {
  return std::to_string(v);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Heap allocation counter, to show that steady-state serving does not allocate.

namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Bytes = std::vector<std::uint8_t>;
using Log = std::vector<std::string>;
using modbus::FrameAssembler;
using modbus::Frame;
using modbus::Header;
using modbus::Outcome;
using modbus::Result;

struct BankError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A register bank that records every call. Stored values may exceed 16 bits, as a host script can
// put such a value into the bank; read() then reports it as not encodable.
struct LogBank {
  std::vector<std::uint32_t> regs;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> writable;  // inclusive; empty: all writable
  std::string fail_at;  // the call (as logged) that throws
  Log log;
  int lock_depth = 0;
  int unlocks = 0;
  std::optional<bool> at_once;  // what all_writable answers; nullopt: address by address
  int denials_observed = -1;    // notify_write_denied says none are observed after this many; -1: never

  explicit LogBank(std::size_t size = 10) : regs(size, 0) {}

  void note(const std::string& call) {
    log.push_back(call);
    if (call == fail_at) throw BankError("hook failed at " + call);
  }
  static std::string kv(const char* what, std::uint32_t a, std::uint32_t v) {
    return std::string(what) + " " + std::to_string(a) + "=" + std::to_string(v);
  }

  bool is_writable(std::uint32_t addr) {
    note("writable " + std::to_string(addr));
    if (lock_depth) note("VIOLATION: writable asked under the lock");
    if (writable.empty()) return true;
    for (const auto& r : writable)
      if (addr >= r.first && addr <= r.second) return true;
    return false;
  }
  std::optional<bool> all_writable(std::uint32_t start, std::uint32_t count) {
    if (at_once) note("writable " + std::to_string(start) + "+" + std::to_string(count));
    if (lock_depth) note("VIOLATION: writable asked under the lock");
    return at_once;
  }
  void lock() {
    note("lock");
    ++lock_depth;
  }
  void unlock() {
    ++unlocks;
    --lock_depth;
    note("unlock");
  }
  void abandon() {  // never throws: it runs while another error is on its way out
    ++unlocks;
    --lock_depth;
    log.push_back("abandon");
  }
  bool read(std::uint32_t addr, std::uint16_t& value) {
    note("read " + std::to_string(addr));
    if (!lock_depth) note("VIOLATION: read without the lock");
    const std::uint32_t v = addr < regs.size() ? regs[addr] : 0;
    value = static_cast<std::uint16_t>(v);
    return v <= 0xFFFF;
  }
  void store(std::uint32_t addr, std::uint16_t value) {
    note(kv("store", addr, value));
    if (!lock_depth) note("VIOLATION: store without the lock");
    if (addr < regs.size()) regs[addr] = value;
  }
  void notify_write(std::uint32_t addr, std::uint16_t value) { note(kv("write", addr, value)); }
  bool notify_write_denied(std::uint32_t addr, std::uint16_t value) {
    note(kv("denied", addr, value));
    if (lock_depth) note("VIOLATION: denied hook under the lock");
    return denials_observed < 0 || --denials_observed > 0;
  }
};

const Header kHdr{0x1234, 0xBEEF, 0, 0x7F};  // non-zero protocol id on purpose

Bytes frame_bytes(std::uint16_t tx, std::uint16_t proto, std::uint16_t length, std::uint8_t unit,
                  const Bytes& pdu) {
  Bytes b{static_cast<std::uint8_t>(tx >> 8),     static_cast<std::uint8_t>(tx),
          static_cast<std::uint8_t>(proto >> 8),  static_cast<std::uint8_t>(proto),
          static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length),
          unit};
  b.insert(b.end(), pdu.begin(), pdu.end());
  return b;
}

Bytes request(std::uint16_t tx, const Bytes& pdu) {
  return frame_bytes(tx, 0, static_cast<std::uint16_t>(pdu.size() + 1), 1, pdu);
}

// ---------------------------------------------------------------------------------------------
// Frame assembler

struct Got {
  Header h;
  Bytes pdu;
  bool dropped;
};

bool same(const Got& a, const Got& b) {
  return a.h.tx_id == b.h.tx_id && a.h.proto_id == b.h.proto_id && a.h.length == b.h.length &&
         a.h.unit_id == b.h.unit_id && a.pdu == b.pdu && a.dropped == b.dropped;
}

std::string describe(const Got& g) {
  return "tx=" + std::to_string(g.h.tx_id) + " proto=" + std::to_string(g.h.proto_id) +
         " len=" + std::to_string(g.h.length) + " unit=" + std::to_string(g.h.unit_id) +
         (g.dropped ? " dropped" : " pdu=" + hex(g.pdu));
}

// The whole stream in one receive.
void receive_whole(FrameAssembler& fa, const Bytes& bytes) {
  auto space = fa.recv_space(bytes.size());
  std::copy(bytes.begin(), bytes.end(), space.first);
  fa.commit(bytes.size());
}

void drain(FrameAssembler& fa, std::vector<Got>& out) {
  Frame f;
  while (fa.next(f)) {
    Got g{f.header, Bytes(), f.dropped};
    if (f.dropped) {
      CHECK(f.pdu_len == 0);
    } else {
      CHECK(f.pdu != nullptr);
      CHECK_EQ(f.pdu_len, static_cast<std::size_t>(f.header.length) - 1);
      g.pdu.assign(f.pdu, f.pdu + f.pdu_len);
    }
    out.push_back(std::move(g));
  }
}

// Feeds `stream` the way a receive loop does: each receive fills at most `chunk` bytes of the
// space offered, then every complete frame is taken out.
std::vector<Got> feed(const Bytes& stream, std::size_t chunk, std::size_t min_free) {
  FrameAssembler fa;
  std::vector<Got> out;
  std::size_t pos = 0;
  while (pos < stream.size()) {
    auto space = fa.recv_space(min_free);
    CHECK(space.second >= std::max<std::size_t>(min_free, 1));
    const std::size_t n = std::min({space.second, chunk, stream.size() - pos});
    std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(pos), n, space.first);
    fa.commit(n);
    pos += n;
    drain(fa, out);
  }
  CHECK_EQ(fa.buffered(), std::size_t{0});
  return out;
}

// Feeds the stream in pieces cut at the given offsets.
std::vector<Got> feed_cuts(const Bytes& stream, const std::vector<std::size_t>& cuts) {
  FrameAssembler fa;
  std::vector<Got> out;
  std::size_t pos = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(stream.size());
  for (std::size_t end : ends) {
    auto space = fa.recv_space(end - pos);
    std::copy(stream.begin() + static_cast<std::ptrdiff_t>(pos),
              stream.begin() + static_cast<std::ptrdiff_t>(end), space.first);
    fa.commit(end - pos);
    pos = end;
    drain(fa, out);
  }
  CHECK_EQ(fa.buffered(), std::size_t{0});
  return out;
}

void check_frames(const std::vector<Got>& got, const std::vector<Got>& want, const std::string& how) {
  if (got.size() != want.size()) {
    report_failure(__FILE__, __LINE__,
                   how + ": got " + std::to_string(got.size()) + " frames, expected " +
                       std::to_string(want.size()));
    return;
  }
  for (std::size_t i = 0; i < got.size(); ++i)
    if (!same(got[i], want[i]))
      report_failure(__FILE__, __LINE__,
                     how + ": frame " + std::to_string(i) + "\n    got:      " + describe(got[i]) +
                         "\n    expected: " + describe(want[i]));
}

// A stream of back-to-back frames and what the assembler must cut from it.
struct Stream {
  Bytes bytes;
  std::vector<Got> frames;
  void add(std::uint16_t tx, std::uint16_t proto, std::uint16_t length, std::uint8_t unit, const Bytes& pdu) {
    Bytes b = frame_bytes(tx, proto, length, unit, pdu);
    bytes.insert(bytes.end(), b.begin(), b.end());
    frames.push_back(Got{Header{tx, proto, length, unit}, pdu, length <= 1});
  }
  void add(std::uint16_t tx, const Bytes& pdu) {
    add(tx, 0, static_cast<std::uint16_t>(pdu.size() + 1), 1, pdu);
  }
};

Stream small_stream() {
  Stream s;
  s.add(1, {0x03, 0x00, 0x05, 0x00, 0x02});
  s.add(2, 0, 0, 9, {});  // length 0: dropped
  s.add(3, 7, 1, 9, {});  // length 1: dropped
  s.add(4, 0xBEEF, 6, 0x11, {0x06, 0x00, 0x05, 0x12, 0x34});
  s.add(5, {0x2B});  // one-byte PDU
  s.add(6, {0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0xAA, 0xBB, 0xCC, 0xDD});
  return s;
}

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return b;
}

void test_assembler() {
  run_case("assembler: one stream split at every byte offset", [] {
    const Stream s = small_stream();
    for (std::size_t cut = 0; cut <= s.bytes.size(); ++cut)
      check_frames(feed_cuts(s.bytes, {cut}), s.frames, "cut at " + std::to_string(cut));
  });

  run_case("assembler: one stream split at every pair of offsets", [] {
    const Stream s = small_stream();
    for (std::size_t a = 0; a <= s.bytes.size(); ++a)
      for (std::size_t b = a; b <= s.bytes.size(); ++b)
        check_frames(feed_cuts(s.bytes, {a, b}), s.frames,
                     "cuts at " + std::to_string(a) + "," + std::to_string(b));
  });

  run_case("assembler: several frames in one receive", [] {
    const Stream s = small_stream();
    check_frames(feed(s.bytes, s.bytes.size(), 4096), s.frames, "one chunk");
  });

  run_case("assembler: dropped frames consume only their header", [] {
    Stream s;
    s.add(1, 0, 0, 1, {});
    s.add(2, 0, 1, 1, {});
    s.add(3, {0x03, 0x00, 0x00, 0x00, 0x01});
    FrameAssembler fa;
    receive_whole(fa, s.bytes);
    Frame f;
    CHECK(fa.next(f));
    CHECK(f.dropped);
    CHECK_EQ(f.header.tx_id, std::uint16_t{1});
    CHECK_EQ(fa.buffered(), s.bytes.size() - 7);
    CHECK(fa.next(f));
    CHECK(f.dropped);
    CHECK_EQ(f.header.tx_id, std::uint16_t{2});
    CHECK(fa.next(f));
    CHECK(!f.dropped);
    CHECK_EQ(f.header.tx_id, std::uint16_t{3});
    CHECK_EQ(Bytes(f.pdu, f.pdu + f.pdu_len), (Bytes{0x03, 0x00, 0x00, 0x00, 0x01}));
    CHECK(!fa.next(f));
    CHECK_EQ(fa.buffered(), std::size_t{0});
  });

  run_case("assembler: a frame put back is the next one delivered, once", [] {
    Stream s;
    s.add(1, {0x03, 0x00, 0x00, 0x00, 0x01});
    s.add(2, 0, 1, 1, {});
    s.add(3, {0x06, 0x00, 0x01, 0x00, 0x02});
    FrameAssembler fa;
    receive_whole(fa, s.bytes);
    Frame f;
    for (std::uint16_t tx : {1, 2, 3}) {
      CHECK(fa.next(f));
      CHECK_EQ(f.header.tx_id, tx);
      const std::size_t held = fa.buffered();
      fa.put_back();
      CHECK(fa.buffered() > held);
      CHECK(fa.next(f));
      CHECK_EQ(f.header.tx_id, tx);
      CHECK_EQ(fa.buffered(), held);
    }
    CHECK(!fa.next(f));
  });

  run_case("assembler: partial frame is held, not delivered", [] {
    const Bytes b = request(9, {0x03, 0x00, 0x00, 0x00, 0x01});
    FrameAssembler fa;
    Frame f;
    for (std::size_t i = 0; i + 1 < b.size(); ++i) {
      auto space = fa.recv_space(1);
      space.first[0] = b[i];
      fa.commit(1);
      CHECK(!fa.next(f));
      CHECK_EQ(fa.buffered(), i + 1);
    }
    auto space = fa.recv_space(1);
    space.first[0] = b.back();
    fa.commit(1);
    CHECK(fa.next(f));
    CHECK_EQ(fa.buffered(), std::size_t{0});
  });

  run_case("assembler: maximal frame (length 65535) among small ones, any receive size", [] {
    Stream s;
    s.add(1, {0x03, 0x00, 0x00, 0x00, 0x01});
    Bytes big = pattern(65534);
    big[0] = 0x06;
    s.add(2, 0x0102, 0xFFFF, 0x33, big);
    s.add(3, 0, 1, 0, {});
    s.add(4, {0x06, 0x00, 0x01, 0x00, 0x02});
    CHECK_EQ(s.bytes.size(), 12 + modbus::kMaxFrame + 7 + 12);
    const std::size_t chunks[] = {1, 2, 3, 7, 13, 1000, 4095, 4096, 65540, 65541, 65542, 1u << 20};
    const std::size_t min_frees[] = {0, 1, 16, 4096, 100000};
    for (std::size_t chunk : chunks)
      for (std::size_t mf : min_frees)
        check_frames(feed(s.bytes, chunk, mf), s.frames,
                     "chunk " + std::to_string(chunk) + " min_free " + std::to_string(mf));
  });

  run_case("assembler: long connection keeps its buffer bounded", [] {
    // Many frames whose boundaries never line up with the receives: the partial frame has to be
    // moved to the front again and again instead of the buffer growing.
    Stream s;
    for (int i = 0; i < 5000; ++i) s.add(static_cast<std::uint16_t>(i), pattern(1 + i % 300));
    FrameAssembler fa;
    std::vector<Got> out;
    std::size_t pos = 0;
    std::uintptr_t lowest = UINTPTR_MAX, highest = 0;
    while (pos < s.bytes.size()) {
      auto space = fa.recv_space(1000);
      const std::size_t n = std::min<std::size_t>({space.second, 997, s.bytes.size() - pos});
      std::copy_n(s.bytes.begin() + static_cast<std::ptrdiff_t>(pos), n, space.first);
      lowest = std::min(lowest, reinterpret_cast<std::uintptr_t>(space.first));
      highest = std::max(highest, reinterpret_cast<std::uintptr_t>(space.first + space.second));
      fa.commit(n);
      pos += n;
      drain(fa, out);
    }
    check_frames(out, s.frames, "5000 frames");
    CHECK(highest - lowest <= 8192);
  });

  run_case("assembler: receive space honours its minimum", [] {
    FrameAssembler fa;
    CHECK(fa.recv_space(0).second >= 1);
    CHECK(fa.recv_space().second >= 4096);
    CHECK(fa.recv_space(200000).second >= 200000);
    // With bytes held, the space offered starts right after them.
    auto sp = fa.recv_space(3);
    sp.first[0] = 0;
    sp.first[1] = 1;
    sp.first[2] = 0;
    fa.commit(3);
    auto sp2 = fa.recv_space(70000);
    CHECK(sp2.second >= 70000);
    sp2.first[0] = 0;
    sp2.first[1] = 0;
    sp2.first[2] = 2;
    sp2.first[3] = 1;
    sp2.first[4] = 0x2B;
    fa.commit(5);
    Frame f;
    CHECK(fa.next(f));
    CHECK_EQ(f.header.tx_id, std::uint16_t{1});
    CHECK_EQ(f.header.length, std::uint16_t{2});
    CHECK_EQ(f.pdu_len, std::size_t{1});
    CHECK_EQ(static_cast<int>(f.pdu[0]), 0x2B);
  });

  run_case("assembler: commit beyond the offered space is refused", [] {
    FrameAssembler fa;
    bool threw = false;
    try {
      fa.commit(1);  // nothing offered yet
    } catch (const std::length_error&) {
      threw = true;
    }
    CHECK(threw);
    auto sp = fa.recv_space(10);
    fa.commit(sp.second);
    threw = false;
    try {
      fa.commit(1);
    } catch (const std::length_error&) {
      threw = true;
    }
    CHECK(threw);
  });
}

// ---------------------------------------------------------------------------------------------
// Request execution

struct ExecCase {
  std::string name;
  std::function<void(LogBank&)> setup;  // may be empty
  Bytes pdu;
  Bytes answer_pdu;          // expected answer PDU (when Answered)
  const char* error;         // expected Malformed text, nullptr for Answered
  Log log;                   // expected bank calls
  std::vector<std::pair<std::uint32_t, std::uint32_t>> regs_after;  // registers checked afterwards
};

Log range_log(const std::string& what, std::uint32_t start, std::uint32_t count) {
  Log l;
  for (std::uint32_t i = 0; i < count; ++i) l.push_back(what + " " + std::to_string(start + i));
  return l;
}

Log cat(std::initializer_list<Log> parts) {
  Log l;
  for (const auto& p : parts) l.insert(l.end(), p.begin(), p.end());
  return l;
}

Bytes read_answer(std::uint32_t start, std::uint32_t count, const LogBank& bank) {
  Bytes b{0x03, static_cast<std::uint8_t>(2 * count)};
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t a = start + i;
    const std::uint32_t v = a < bank.regs.size() ? bank.regs[a] : 0;
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
  }
  return b;
}

void numbered(LogBank& b) {
  for (std::size_t i = 0; i < b.regs.size(); ++i) b.regs[i] = static_cast<std::uint32_t>(0x0100 + i);
}

std::vector<ExecCase> exec_cases() {
  const char* k4 = "unpack requires a buffer of 4 bytes";
  const char* k5 = "unpack requires a buffer of 5 bytes";
  LogBank nb(200);
  numbered(nb);
  auto big_bank = [](LogBank& b) {
    b.regs.assign(200, 0);
    numbered(b);
  };
  return {
      // --- function 3
      {"fc3 reads values in address order under one lock", numbered, {0x03, 0x00, 0x05, 0x00, 0x03},
       {0x03, 0x06, 0x01, 0x05, 0x01, 0x06, 0x01, 0x07}, nullptr,
       {"lock", "read 5", "read 6", "read 7", "unlock"}, {}},
      {"fc3 bytes after the count are ignored", numbered, {0x03, 0x00, 0x01, 0x00, 0x01, 0xAA, 0xBB},
       {0x03, 0x02, 0x01, 0x01}, nullptr, {"lock", "read 1", "unlock"}, {}},
      {"fc3 zero registers", numbered, {0x03, 0x00, 0x05, 0x00, 0x00}, {0x03, 0x00}, nullptr,
       {"lock", "unlock"}, {}},
      {"fc3 127 registers, byte count 254", big_bank, {0x03, 0x00, 0x02, 0x00, 0x7F},
       read_answer(2, 127, nb), nullptr, cat({{"lock"}, range_log("read", 2, 127), {"unlock"}}), {}},
      {"fc3 128 registers: illegal data value, bank untouched", numbered, {0x03, 0x00, 0x00, 0x00, 0x80},
       {0x83, 0x03}, nullptr, {}, {}},
      {"fc3 65535 registers: illegal data value", numbered, {0x03, 0x00, 0x00, 0xFF, 0xFF},
       {0x83, 0x03}, nullptr, {}, {}},
      {"fc3 beyond the bank reads zeros", numbered, {0x03, 0x00, 0x08, 0x00, 0x04},
       {0x03, 0x08, 0x01, 0x08, 0x01, 0x09, 0x00, 0x00, 0x00, 0x00}, nullptr,
       {"lock", "read 8", "read 9", "read 10", "read 11", "unlock"}, {}},
      {"fc3 addresses do not wrap at 65535", numbered, {0x03, 0xFF, 0xFF, 0x00, 0x02},
       {0x03, 0x04, 0x00, 0x00, 0x00, 0x00}, nullptr, {"lock", "read 65535", "read 65536", "unlock"}, {}},
      {"fc3 a value outside 16 bits: device failure after every read",
       [](LogBank& b) {
         numbered(b);
         b.regs[6] = 70000;
       },
       {0x03, 0x00, 0x05, 0x00, 0x04}, {0x83, 0x04}, nullptr,
       {"lock", "read 5", "read 6", "read 7", "read 8", "unlock"}, {}},

      // --- function 6
      {"fc6 writable: store under the lock, hook after it, request echoed", numbered,
       {0x06, 0x00, 0x05, 0x12, 0x34}, {0x06, 0x00, 0x05, 0x12, 0x34}, nullptr,
       {"writable 5", "lock", "store 5=4660", "unlock", "write 5=4660"}, {{5, 0x1234}, {4, 0x0104}}},
      {"fc6 trailing bytes are echoed", numbered, {0x06, 0x00, 0x03, 0x00, 0x07, 0x01, 0x02, 0x03},
       {0x06, 0x00, 0x03, 0x00, 0x07, 0x01, 0x02, 0x03}, nullptr,
       {"writable 3", "lock", "store 3=7", "unlock", "write 3=7"}, {{3, 7}}},
      {"fc6 beyond the bank: echoed, hooked, nothing stored", numbered, {0x06, 0x00, 0x14, 0x00, 0x07},
       {0x06, 0x00, 0x14, 0x00, 0x07}, nullptr, {"writable 20", "lock", "store 20=7", "unlock", "write 20=7"},
       {{0, 0x0100}, {9, 0x0109}}},
      {"fc6 refused: denied hook with the value, no lock",
       [](LogBank& b) {
         numbered(b);
         b.writable = {{6, 9}};
       },
       {0x06, 0x00, 0x05, 0xFF, 0xFE}, {0x86, 0x02}, nullptr, {"writable 5", "denied 5=65534"}, {{5, 0x0105}}},

      // --- function 16
      {"fc16 accepted: every store and hook under one lock", numbered,
       {0x10, 0x00, 0x05, 0x00, 0x02, 0x04, 0x00, 0x07, 0xAB, 0xCD}, {0x10, 0x00, 0x05, 0x00, 0x02}, nullptr,
       {"writable 5", "writable 6", "lock", "store 5=7", "write 5=7", "store 6=43981", "write 6=43981",
        "unlock"},
       {{4, 0x0104}, {5, 7}, {6, 0xABCD}, {7, 0x0107}}},
      {"fc16 refused in the middle: asks up to the refusal, denies every address with 0",
       [](LogBank& b) {
         numbered(b);
         b.writable = {{0, 6}, {8, 9}};
       },
       {0x10, 0x00, 0x05, 0x00, 0x04, 0x08, 0, 1, 0, 2, 0, 3, 0, 4}, {0x90, 0x02}, nullptr,
       {"writable 5", "writable 6", "writable 7", "denied 5=0", "denied 6=0", "denied 7=0", "denied 8=0"},
       {{5, 0x0105}, {6, 0x0106}, {8, 0x0108}}},
      {"fc16 refused with too few value bytes is still refused",
       [](LogBank& b) {
         numbered(b);
         b.writable = {{6, 6}};
       },
       {0x10, 0x00, 0x05, 0x00, 0x02, 0x04}, {0x90, 0x02}, nullptr, {"writable 5", "denied 5=0", "denied 6=0"},
       {}},
      {"fc16 decided at once: accepted without asking address by address",
       [](LogBank& b) {
         numbered(b);
         b.at_once = true;
       },
       {0x10, 0x00, 0x05, 0x00, 0x02, 0x04, 0x00, 0x07, 0x00, 0x08}, {0x10, 0x00, 0x05, 0x00, 0x02}, nullptr,
       {"writable 5+2", "lock", "store 5=7", "write 5=7", "store 6=8", "write 6=8", "unlock"}, {{5, 7}, {6, 8}}},
      {"fc16 of 65535 registers decided at once and refused: denials stop once none is observed",
       [](LogBank& b) {
         numbered(b);
         b.at_once = false;
         b.denials_observed = 1;
       },
       {0x10, 0x00, 0x00, 0xFF, 0xFF, 0x00}, {0x90, 0x02}, nullptr, {"writable 0+65535", "denied 0=0"}, {}},
      {"fc16 refused address by address: denials stop once none is observed",
       [](LogBank& b) {
         numbered(b);
         b.writable = {{0, 6}};
         b.denials_observed = 2;
       },
       {0x10, 0x00, 0x05, 0x00, 0x04, 0x08, 0, 1, 0, 2, 0, 3, 0, 4}, {0x90, 0x02}, nullptr,
       {"writable 5", "writable 6", "writable 7", "denied 5=0", "denied 6=0"}, {{5, 0x0105}}},
      {"fc16 writable but too few value bytes: illegal data value, nothing stored", numbered,
       {0x10, 0x00, 0x05, 0x00, 0x03, 0x06, 0x00, 0x07, 0x00, 0x08, 0x00}, {0x90, 0x03}, nullptr,
       {"writable 5", "writable 6", "writable 7"}, {{5, 0x0105}, {6, 0x0106}, {7, 0x0107}}},
      {"fc16 byte count larger than the values is not trusted", numbered,
       {0x10, 0x00, 0x02, 0x00, 0x01, 0xFF, 0x00, 0x2A}, {0x10, 0x00, 0x02, 0x00, 0x01}, nullptr,
       {"writable 2", "lock", "store 2=42", "write 2=42", "unlock"}, {{2, 42}}},
      {"fc16 byte count smaller than the values, extra value bytes ignored", numbered,
       {0x10, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03}, {0x10, 0x00, 0x02, 0x00, 0x02},
       nullptr, {"writable 2", "writable 3", "lock", "store 2=1", "write 2=1", "store 3=2", "write 3=2", "unlock"},
       {{2, 1}, {3, 2}, {4, 0x0104}}},
      {"fc16 zero registers", numbered, {0x10, 0x00, 0x05, 0x00, 0x00, 0x00}, {0x10, 0x00, 0x05, 0x00, 0x00},
       nullptr, {"lock", "unlock"}, {}},
      {"fc16 addresses do not wrap at 65535; beyond the bank still hooked", numbered,
       {0x10, 0xFF, 0xFF, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x02}, {0x10, 0xFF, 0xFF, 0x00, 0x02}, nullptr,
       {"writable 65535", "writable 65536", "lock", "store 65535=1", "write 65535=1", "store 65536=2",
        "write 65536=2", "unlock"},
       {{0, 0x0100}, {1, 0x0101}}},

      // --- other function codes
      {"fc 0x2B not served", numbered, {0x2B, 0x0E, 0x01, 0x00}, {0xAB, 0x01}, nullptr, {}, {}},
      {"fc 0x83 keeps its high bit", numbered, {0x83, 0x00, 0x00, 0x00, 0x01}, {0x83, 0x01}, nullptr, {}, {}},
      {"fc 4 not served", numbered, {0x04, 0x00, 0x00, 0x00, 0x01}, {0x84, 0x01}, nullptr, {}, {}},
      {"fc 0 alone", numbered, {0x00}, {0x80, 0x01}, nullptr, {}, {}},
      {"fc 0xFF alone", numbered, {0xFF}, {0xFF, 0x01}, nullptr, {}, {}},

      // --- malformed: no answer, bank untouched
      {"fc3 with no fields", numbered, {0x03}, {}, k4, {}, {}},
      {"fc3 one byte short", numbered, {0x03, 0x00, 0x05, 0x00}, {}, k4, {}, {}},
      {"fc6 one byte short", numbered, {0x06, 0x00, 0x05, 0x00}, {}, k4, {}, {{5, 0x0105}}},
      {"fc16 with no fields", numbered, {0x10}, {}, k5, {}, {}},
      {"fc16 without the byte count", numbered, {0x10, 0x00, 0x05, 0x00, 0x00}, {}, k5, {}, {}},
  };
}

void test_execute_table() {
  for (const ExecCase& c : exec_cases()) {
    run_case(c.name, [&c] {
      LogBank bank(10);
      if (c.setup) c.setup(bank);
      std::vector<std::uint8_t> answer{0xDE, 0xAD};  // leftovers from an earlier request
      const Result r = modbus::execute(kHdr, c.pdu.data(), c.pdu.size(), bank, answer);
      if (c.error) {
        CHECK(r.outcome == Outcome::Malformed);
        CHECK(r.error != nullptr);
        if (r.error) CHECK_EQ(std::string(r.error), std::string(c.error));
      } else {
        CHECK(r.outcome == Outcome::Answered);
        CHECK(r.error == nullptr);
        CHECK(answer.size() >= modbus::kHeaderSize);
        if (answer.size() >= modbus::kHeaderSize) {
          const Header h = modbus::parse_header(answer.data());
          CHECK_EQ(h.tx_id, kHdr.tx_id);
          CHECK_EQ(h.proto_id, kHdr.proto_id);
          CHECK_EQ(h.unit_id, kHdr.unit_id);
          CHECK_EQ(static_cast<std::size_t>(h.length), c.answer_pdu.size() + 1);
          CHECK_EQ(Bytes(answer.begin() + modbus::kHeaderSize, answer.end()), c.answer_pdu);
        }
      }
      CHECK_EQ(bank.log, c.log);
      CHECK_EQ(bank.lock_depth, 0);
      for (const auto& reg : c.regs_after) CHECK_EQ(bank.regs.at(reg.first), reg.second);
    });
  }
}

// A bank call that throws must leave the bank unlocked exactly once, and the error must reach the caller.
struct ThrowCase {
  Bytes pdu;
  std::string fail_at;
  Log log;
};

void test_exception_neutrality() {
  const std::vector<ThrowCase> cases = {
      {{0x03, 0x00, 0x05, 0x00, 0x03}, "lock", {"lock"}},
      {{0x03, 0x00, 0x05, 0x00, 0x03}, "read 6", {"lock", "read 5", "read 6", "abandon"}},
      {{0x03, 0x00, 0x05, 0x00, 0x03}, "unlock", {"lock", "read 5", "read 6", "read 7", "unlock"}},
      {{0x06, 0x00, 0x05, 0x00, 0x07}, "writable 5", {"writable 5"}},
      {{0x06, 0x00, 0x05, 0x00, 0x07}, "store 5=7", {"writable 5", "lock", "store 5=7", "abandon"}},
      {{0x06, 0x00, 0x05, 0x00, 0x07}, "write 5=7", {"writable 5", "lock", "store 5=7", "unlock", "write 5=7"}},
      {{0x06, 0x00, 0x05, 0x00, 0x07}, "unlock", {"writable 5", "lock", "store 5=7", "unlock"}},
      {{0x10, 0x00, 0x05, 0x00, 0x02, 0x04, 0x00, 0x07, 0x00, 0x08},
       "write 5=7",
       {"writable 5", "writable 6", "lock", "store 5=7", "write 5=7", "abandon"}},
      {{0x10, 0x00, 0x05, 0x00, 0x02, 0x04, 0x00, 0x07, 0x00, 0x08},
       "store 6=8",
       {"writable 5", "writable 6", "lock", "store 5=7", "write 5=7", "store 6=8", "abandon"}},
      {{0x10, 0x00, 0x05, 0x00, 0x02, 0x04, 0x00, 0x07, 0x00, 0x08},
       "unlock",
       {"writable 5", "writable 6", "lock", "store 5=7", "write 5=7", "store 6=8", "write 6=8", "unlock"}},
      {{0x10, 0x00, 0x05, 0x00, 0x02, 0x04, 0x00, 0x07, 0x00, 0x08}, "writable 6", {"writable 5", "writable 6"}},
  };
  for (const ThrowCase& c : cases) {
    run_case("exception neutral: fc" + std::to_string(c.pdu[0]) + " failing at " + c.fail_at, [&c] {
      LogBank bank(10);
      bank.fail_at = c.fail_at;
      std::vector<std::uint8_t> answer;
      bool threw = false;
      try {
        modbus::execute(kHdr, c.pdu.data(), c.pdu.size(), bank, answer);
      } catch (const BankError&) {
        threw = true;
      }
      CHECK(threw);
      CHECK_EQ(bank.log, c.log);
      // Locked once at most, so at most one unlock or abandon, and only when lock() itself went
      // through; abandon exactly when the failing call came under the lock, unlock otherwise.
      const bool locked = std::count(c.log.begin(), c.log.end(), "lock") == 1 && c.fail_at != "lock";
      CHECK_EQ(std::count(bank.log.begin(), bank.log.end(), "abandon") + std::count(bank.log.begin(), bank.log.end(), "unlock"),
               (locked ? 1 : 0));
      CHECK_EQ(bank.unlocks, (locked ? 1 : 0));
      CHECK_EQ(bank.lock_depth, 0);
    });
  }

  run_case("exception neutral: denied hook failing on a refused fc16", [] {
    LogBank bank(10);
    bank.writable = {{5, 5}};
    bank.fail_at = "denied 6=0";
    const Bytes pdu{0x10, 0x00, 0x05, 0x00, 0x03, 0x06, 0, 1, 0, 2, 0, 3};
    std::vector<std::uint8_t> answer;
    bool threw = false;
    try {
      modbus::execute(kHdr, pdu.data(), pdu.size(), bank, answer);
    } catch (const BankError&) {
      threw = true;
    }
    CHECK(threw);
    CHECK_EQ(bank.log, (Log{"writable 5", "writable 6", "denied 5=0", "denied 6=0"}));
    CHECK_EQ(bank.unlocks, 0);
  });
}

// A bank without logging, for measuring the allocations of execute() itself.
struct QuietBank {
  std::vector<std::uint16_t> regs = std::vector<std::uint16_t>(300, 0x55AA);
  bool is_writable(std::uint32_t a) { return a != 299; }
  std::optional<bool> all_writable(std::uint32_t, std::uint32_t) { return std::nullopt; }
  void lock() {}
  void unlock() {}
  void abandon() {}
  bool read(std::uint32_t a, std::uint16_t& v) {
    v = a < regs.size() ? regs[a] : 0;
    return true;
  }
  void store(std::uint32_t a, std::uint16_t v) {
    if (a < regs.size()) regs[a] = v;
  }
  void notify_write(std::uint32_t, std::uint16_t) {}
  bool notify_write_denied(std::uint32_t, std::uint16_t) { return true; }
};

void test_steady_state_allocations() {
  run_case("serving a connection does not allocate once warmed up", [] {
    Stream s;
    s.add(1, {0x03, 0x00, 0x00, 0x00, 0x7F});
    s.add(2, {0x03, 0x00, 0x00, 0x00, 0x80});
    s.add(3, {0x06, 0x00, 0x05, 0x00, 0x07, 0x01, 0x02});
    s.add(4, {0x10, 0x00, 0x05, 0x00, 0x02, 0x04, 0x00, 0x07, 0x00, 0x08});
    s.add(5, {0x10, 0x01, 0x2A, 0x00, 0x02, 0x04, 0x00, 0x07, 0x00, 0x08});  // refused at 299
    s.add(6, 0, 1, 0, {});
    s.add(7, {0x2B});
    s.add(8, {0x03, 0x00});
    QuietBank bank;
    FrameAssembler fa;
    std::vector<std::uint8_t> answer;
    std::size_t answered = 0;
    auto serve_once = [&] {
      std::size_t pos = 0;
      while (pos < s.bytes.size()) {
        auto space = fa.recv_space();
        const std::size_t n = std::min<std::size_t>({space.second, 11, s.bytes.size() - pos});
        std::copy_n(s.bytes.begin() + static_cast<std::ptrdiff_t>(pos), n, space.first);
        fa.commit(n);
        pos += n;
        Frame f;
        while (fa.next(f)) {
          if (f.dropped) continue;
          const Result r = modbus::execute(f.header, f.pdu, f.pdu_len, bank, answer);
          if (r.outcome == Outcome::Answered) ++answered;
        }
      }
    };
    serve_once();
    const long before = g_allocations.load();
    for (int i = 0; i < 100; ++i) serve_once();
    CHECK_EQ(g_allocations.load() - before, 0L);
    CHECK_EQ(answered, std::size_t{101 * 6});
  });
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Writability of a whole range at once

void test_writable_ranges() {
  run_case("ranges: a whole range is writable exactly when each of its addresses is", [] {
    std::mt19937 rng(12345);
    auto pick = [&](long long lo, long long hi) { return std::uniform_int_distribution<long long>(lo, hi)(rng); };
    for (int round = 0; round < 3000; ++round) {
      holdbank::WritableRanges r;
      const int n = static_cast<int>(pick(0, 6));
      for (int i = 0; i < n; ++i) {
        // Overlapping, touching, reversed, negative and far-reaching ranges, as a host may add them.
        const long long s = pick(-5, 140);
        r.rw.emplace_back(s, pick(0, 9) == 0 ? pick(65530, 1LL << 40) : s + pick(-3, 40));
      }
      r.none_set = n == 0 && pick(0, 1) == 1;
      const auto start = static_cast<std::uint32_t>(pick(0, 9) == 0 ? pick(65400, 65535) : pick(0, 150));
      const auto count = static_cast<std::uint32_t>(pick(0, 9) == 0 ? pick(0, 65535) : pick(0, 60));
      bool each = true;
      for (std::uint32_t i = 0; i < count && each; ++i) each = r.allow(start + i);
      if (r.cover(start, count) != each) {
        CHECK_EQ(r.cover(start, count), each);
        std::printf("  start %u count %u, %d ranges\n", start, count, n);
        return;
      }
    }
  });
}

int main() {
  test_assembler();
  test_execute_table();
  test_exception_neutrality();
  test_steady_state_allocations();
  test_writable_ranges();
  return harness::finish();
}
