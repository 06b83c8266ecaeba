// Modbus TCP protocol core of the register server: cuts MBAP frames out of a TCP byte stream and
// executes one request PDU against a register bank. Plain C++, no sockets and no Python: the caller
// receives the bytes, feeds them in, and sends the answer frame produced here in one send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace modbus {

constexpr std::size_t kHeaderSize = 7;

// Function codes served.
constexpr std::uint8_t kReadHoldingRegisters = 3;
constexpr std::uint8_t kWriteSingleRegister = 6;
constexpr std::uint8_t kWriteMultipleRegisters = 16;
// An exception answer is the function code with this bit set, and one of these codes.
constexpr std::uint8_t kExceptionBit = 0x80;
constexpr std::uint8_t kIllegalFunction = 1;
constexpr std::uint8_t kIllegalDataAddress = 2;  // here: a register masters may not write
constexpr std::uint8_t kIllegalDataValue = 3;
constexpr std::uint8_t kServerDeviceFailure = 4;
// A read answers with a one-byte byte count, so it carries at most 127 registers.
constexpr std::uint32_t kMaxReadCount = 127;
// The fixed part of each request PDU: function code, address, then the count or value (and, for a
// write-multiple, the byte count).
constexpr std::size_t kReadRequestSize = 5;
constexpr std::size_t kWriteSingleRequestSize = 5;
constexpr std::size_t kWriteMultipleHeaderSize = 6;
constexpr std::size_t kMaxFrame = kHeaderSize + 65534;  // length field max 65535 => pdu max 65534

struct Header {
  std::uint16_t tx_id, proto_id, length;
  std::uint8_t unit_id;
};

// One frame cut from the byte stream. pdu points into the assembler's buffer and stays valid
// until the next call of FrameAssembler::recv_space()/commit()/next().
// dropped == true: the length field was 0 or 1; only the 7 header bytes were consumed and the
// frame must not be answered.
struct Frame {
  Header header;
  const std::uint8_t* pdu;
  std::size_t pdu_len;
  bool dropped;
};

inline std::uint16_t get_u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((static_cast<unsigned>(p[0]) << 8) | p[1]);
}

inline void put_u16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

inline Header parse_header(const std::uint8_t* p) {
  return Header{get_u16(p), get_u16(p + 2), get_u16(p + 4), p[6]};
}

// TCP is a byte stream: a frame may be split anywhere, and one receive may carry several frames.
// Bytes live in [begin_, end_) of buf_; the free tail [end_, buf_.size()) is handed out for receives.
class FrameAssembler {
 public:
  FrameAssembler() = default;

  std::pair<std::uint8_t*, std::size_t> recv_space(std::size_t min_free = 4096) {
    if (min_free == 0) min_free = 1;
    if (begin_ == end_) begin_ = end_ = 0;
    if (buf_.size() - end_ < min_free) {
      // Move the partial frame to the front before growing, so the buffer stays bounded by
      // one frame plus one receive however long the connection lives.
      const std::size_t held = end_ - begin_;
      if (begin_ != 0) {
        std::memmove(buf_.data(), buf_.data() + begin_, held);
        begin_ = 0;
        end_ = held;
      }
      if (buf_.size() - end_ < min_free) {
        std::size_t want = buf_.size() < 4096 ? 4096 : buf_.size();
        while (want - end_ < min_free) want *= 2;
        buf_.resize(want);
      }
    }
    space_ = buf_.size() - end_;
    return {buf_.data() + end_, space_};
  }

  void commit(std::size_t n) {
    if (n > space_) throw std::length_error("FrameAssembler::commit beyond the space handed out");
    end_ += n;
    space_ -= n;
  }

  bool next(Frame& out) {
    const std::size_t held = end_ - begin_;
    if (held < kHeaderSize) return false;
    const std::uint8_t* p = buf_.data() + begin_;
    const Header h = parse_header(p);
    last_begin_ = begin_;
    if (h.length <= 1) {
      out = Frame{h, nullptr, 0, true};
      begin_ += kHeaderSize;
      return true;
    }
    const std::size_t pdu_len = static_cast<std::size_t>(h.length) - 1;
    if (held < kHeaderSize + pdu_len) return false;
    out = Frame{h, p + kHeaderSize, pdu_len, false};
    begin_ += kHeaderSize + pdu_len;
    return true;
  }

  // Gives back the frame the last next() returned, for whoever serves the stream after us; only
  // before the next recv_space()/commit()/next().
  void put_back() { begin_ = last_begin_; }

  std::size_t buffered() const { return end_ - begin_; }

 private:
  std::vector<std::uint8_t> buf_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t space_ = 0;  // size of the space handed out by the last recv_space, minus commits
  std::size_t last_begin_ = 0;  // where the frame last returned by next() starts
};

// Outcome of executing one PDU.
enum class Outcome {
  Answered,   // `answer` holds the whole answer frame (MBAP header + PDU)
  Malformed,  // PDU too short for its function code: no answer; the caller ends the connection
};
struct Result {
  Outcome outcome;
  const char* error;  // static text, nullptr when Answered
};

namespace detail {

constexpr const char* kShort4 = "unpack requires a buffer of 4 bytes";
constexpr const char* kShort5 = "unpack requires a buffer of 5 bytes";

// Largest answer apart from the write-single echo: a read of the most registers.
constexpr std::size_t kUsualAnswer = kHeaderSize + 2 + 2 * kMaxReadCount;

// Holds the bank lock for one request: unlock() on the way out, or abandon() when something the
// request called throws. Exactly one of the two, once.
template <class Bank>
class LockedBank {
 public:
  explicit LockedBank(Bank& bank) : bank_(bank) {
    bank_.lock();
    held_ = true;
  }
  LockedBank(const LockedBank&) = delete;
  LockedBank& operator=(const LockedBank&) = delete;
  // The normal path lets an error of unlock() reach the caller; it is not retried.
  void unlock() {
    held_ = false;
    bank_.unlock();
  }
  ~LockedBank() {
    if (held_) bank_.abandon();
  }

 private:
  Bank& bank_;
  bool held_ = false;
};

// Sizes `answer` to header + pdu_size bytes; the PDU is filled in by the caller.
inline std::uint8_t* start_answer(std::vector<std::uint8_t>& answer, std::size_t pdu_size) {
  answer.resize(kHeaderSize + pdu_size);
  return answer.data() + kHeaderSize;
}

inline void put_header(const Header& h, std::vector<std::uint8_t>& answer) {
  std::uint8_t* p = answer.data();
  put_u16(p, h.tx_id);
  put_u16(p + 2, h.proto_id);
  put_u16(p + 4, static_cast<std::uint32_t>(answer.size() - kHeaderSize + 1));
  p[6] = h.unit_id;
}

inline void exception_pdu(std::vector<std::uint8_t>& answer, std::uint8_t fc, std::uint8_t code) {
  std::uint8_t* q = start_answer(answer, 2);
  q[0] = static_cast<std::uint8_t>(fc | kExceptionBit);
  q[1] = code;
}

template <class Bank>
void read_holding(const std::uint8_t* pdu, Bank& bank, std::vector<std::uint8_t>& answer) {
  const std::uint32_t start = get_u16(pdu + 1);
  const std::uint32_t count = get_u16(pdu + 3);
  if (count > kMaxReadCount) {
    exception_pdu(answer, kReadHoldingRegisters, kIllegalDataValue);
    return;
  }
  // Values go straight into the answer; a failed read turns it into an exception afterwards.
  std::uint8_t* q = start_answer(answer, 2 + 2 * count);
  q[0] = kReadHoldingRegisters;
  q[1] = static_cast<std::uint8_t>(2 * count);
  bool encodable = true;
  {
    LockedBank<Bank> guard(bank);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint16_t v = 0;
      // Every register is still read after a bad one so that each read hook fires.
      if (!bank.read(start + i, v)) encodable = false;
      put_u16(q + 2 + 2 * i, v);
    }
    guard.unlock();
  }
  if (!encodable) exception_pdu(answer, kReadHoldingRegisters, kServerDeviceFailure);
}

template <class Bank>
void write_single(const std::uint8_t* pdu, std::size_t pdu_len, Bank& bank,
                  std::vector<std::uint8_t>& answer) {
  const std::uint32_t addr = get_u16(pdu + 1);
  const std::uint16_t value = get_u16(pdu + 3);
  if (!bank.is_writable(addr)) {
    bank.notify_write_denied(addr, value);
    exception_pdu(answer, kWriteSingleRegister, kIllegalDataAddress);
    return;
  }
  {
    LockedBank<Bank> guard(bank);
    bank.store(addr, value);
    guard.unlock();
  }
  bank.notify_write(addr, value);
  // The answer echoes the request PDU, trailing bytes included.
  std::memcpy(start_answer(answer, pdu_len), pdu, pdu_len);
}

template <class Bank>
void write_multiple(const std::uint8_t* pdu, std::size_t pdu_len, Bank& bank,
                    std::vector<std::uint8_t>& answer) {
  const std::uint32_t start = get_u16(pdu + 1);
  const std::uint32_t count = get_u16(pdu + 3);
  // The byte count field (pdu[5]) is not trusted; the values are whatever follows it.
  const std::uint8_t* raw = pdu + kWriteMultipleHeaderSize;
  const std::size_t raw_len = pdu_len - kWriteMultipleHeaderSize;

  // A refusal of up to 65,535 addresses must cost what its two-byte answer costs whenever nothing
  // can observe the addresses one by one.
  std::optional<bool> all_writable = bank.all_writable(start, count);
  if (!all_writable) {
    all_writable = true;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!bank.is_writable(start + i)) {
        all_writable = false;
        break;
      }
    }
  }
  if (!*all_writable) {
    for (std::uint32_t i = 0; i < count; ++i)
      if (!bank.notify_write_denied(start + i, 0)) break;
    exception_pdu(answer, kWriteMultipleRegisters, kIllegalDataAddress);
    return;
  }
  // All or nothing: missing value bytes must not leave the registers before them written.
  if (raw_len < 2 * static_cast<std::size_t>(count)) {
    exception_pdu(answer, kWriteMultipleRegisters, kIllegalDataValue);
    return;
  }
  {
    LockedBank<Bank> guard(bank);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint16_t v = get_u16(raw + 2 * i);
      bank.store(start + i, v);
      bank.notify_write(start + i, v);
    }
    guard.unlock();
  }
  std::uint8_t* q = start_answer(answer, 5);
  q[0] = kWriteMultipleRegisters;
  put_u16(q + 1, start);
  put_u16(q + 3, count);
}

}  // namespace detail

// Executes one request PDU (pdu_len >= 1) against `bank` and leaves the whole answer frame in `answer`.
// Bank members (any but abandon() may throw; execute() lets go of the lock on the way out if it locked):
//   bool is_writable(std::uint32_t addr);                       // without the lock
//   std::optional<bool> all_writable(std::uint32_t start, std::uint32_t count);
//        // without the lock: the answer for every address at once, when the bank can give it
//        // without a call the host could observe; nullopt: is_writable is asked address by
//        // address, stopping at the first refusal
//   void lock(); void unlock();
//   void abandon();  // instead of unlock(), when leaving by an exception: lets go without throwing,
//                    // and leaves the exception on its way out the one reported
//   bool read(std::uint32_t addr, std::uint16_t& value);        // under the lock; false: value not a 16-bit word
//   void store(std::uint32_t addr, std::uint16_t value);        // under the lock
//   void notify_write(std::uint32_t addr, std::uint16_t value);
//   bool notify_write_denied(std::uint32_t addr, std::uint16_t value);  // never under the lock
//        // false: nothing can observe this denial or the ones after it, so they are not made
// Addresses are start + i without wrap at 65535, hence 32 bits.
template <class Bank>
Result execute(const Header& h, const std::uint8_t* pdu, std::size_t pdu_len, Bank& bank,
               std::vector<std::uint8_t>& answer) {
  answer.clear();
  if (answer.capacity() < detail::kUsualAnswer) answer.reserve(detail::kUsualAnswer);
  const std::uint8_t fc = pdu[0];
  switch (fc) {
    case kReadHoldingRegisters:
      if (pdu_len < kReadRequestSize) return Result{Outcome::Malformed, detail::kShort4};
      detail::read_holding(pdu, bank, answer);
      break;
    case kWriteSingleRegister:
      if (pdu_len < kWriteSingleRequestSize) return Result{Outcome::Malformed, detail::kShort4};
      detail::write_single(pdu, pdu_len, bank, answer);
      break;
    case kWriteMultipleRegisters:
      if (pdu_len < kWriteMultipleHeaderSize) return Result{Outcome::Malformed, detail::kShort5};
      detail::write_multiple(pdu, pdu_len, bank, answer);
      break;
    default:
      detail::exception_pdu(answer, fc, kIllegalFunction);
      break;
  }
  detail::put_header(h, answer);
  return Result{Outcome::Answered, nullptr};
}

}  // namespace modbus
