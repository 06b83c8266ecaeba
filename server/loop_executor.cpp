// The event loop's executor (see loop_executor.hpp).
#include "server/loop_executor.hpp"
#include "server/modbus_core.hpp"
#include "server/register_list.hpp"
#include "server/request_trace.hpp"

using host::Ref;

namespace holdbank {

// The server as one wake-up of the loop sees it.
struct QuietExecutor::View {
  PyObject* server = nullptr;
  ServerShape shape;
  WritableRanges ranges;
  std::vector<std::uint8_t> answer;

  // Whether executing this frame here would run no code of the host's: no hook, no method of
  // the host's, and no finaliser of a register value it replaces.
  bool quiet_for(const modbus::Frame& f) const {
    if (!shape.plain) return false;
    switch (f.pdu[0]) {
      case modbus::kReadHoldingRegisters:
        return shape.read_quiet;  // the values read are checked one by one as they are read
      case modbus::kWriteSingleRegister: {
        // Malformed: it ends the connection, and nothing is called.
        if (f.pdu_len < modbus::kWriteSingleRequestSize) return true;
        if (!shape.ranges_native) return false;
        const std::uint32_t addr = modbus::get_u16(f.pdu + 1);
        if (!ranges.allow(addr)) return shape.denied_quiet;
        return shape.write_quiet && replaceable(addr, 1);
      }
      case modbus::kWriteMultipleRegisters: {
        if (f.pdu_len < modbus::kWriteMultipleHeaderSize) return true;
        if (!shape.ranges_native) return false;
        const std::uint32_t start = modbus::get_u16(f.pdu + 1), count = modbus::get_u16(f.pdu + 3);
        if (!ranges.cover(start, count)) return shape.denied_quiet;
        if (!shape.write_quiet) return false;
        // Refused for missing value bytes: nothing is stored.
        if (f.pdu_len - modbus::kWriteMultipleHeaderSize < 2 * static_cast<std::size_t>(count)) return true;
        return replaceable(start, count);
      }
      default:
        return true;
    }
  }

  // Whether storing into registers start.. start+count-1 drops only exact ints: dropping anything
  // else may run its finaliser, and a list shorter than `size` is the handler thread's to meet.
  bool replaceable(std::uint32_t start, std::uint32_t count) const {
    PyObject* hr = shape.hr.get();
    const Py_ssize_t list_len = PyList_Size(hr);
    for (std::uint32_t a = start; a < start + count; ++a) {
      switch (slot_of(shape.size, list_len, a)) {
        case Slot::PastSize:
          return true;
        case Slot::PastList:
          return false;
        case Slot::InList:
          if (!PyLong_CheckExact(PyList_GetItem(hr, static_cast<Py_ssize_t>(a)))) return false;
      }
    }
    return true;
  }
};

namespace {

// Something about the request needs the handler thread after all (the bank lock is busy, or a
// register holds a value whose reading is the host's business): the request goes there, as it
// is, before anything of it was done.
struct NotQuiet {};

// The bank as modbus::execute sees it in the loop: only what View::quiet_for allowed gets here,
// so nothing is notified and every access is to plain objects. The loop checked at the start of
// this wake-up that the connection was not dropped; nothing can drop it before the wake-up ends,
// so that check stands for the one the handler thread makes under the lock.
class QuietBank {
 public:
  explicit QuietBank(const QuietExecutor::View& v) : v_(v) {}
  bool is_writable(std::uint32_t addr) { return v_.ranges.allow(addr); }
  std::optional<bool> all_writable(std::uint32_t start, std::uint32_t count) { return v_.ranges.cover(start, count); }
  void lock() {
    if (!try_lock_plain(v_.shape.lock.get())) throw NotQuiet{};
  }
  void unlock() { unlock_plain(v_.shape.lock.get()); }
  // Left by an exception: the lock goes back, and the error on its way out stays the one raised.
  void abandon() {
    try {
      unlock_plain(v_.shape.lock.get());
    } catch (const host::PyError&) {
      PyErr_Clear();
    }
  }
  bool read(std::uint32_t addr, std::uint16_t& value) {
    PyObject* hr = v_.shape.hr.get();
    switch (slot_of(v_.shape.size, PyList_Size(hr), addr)) {
      case Slot::PastSize:
        value = 0;
        return true;
      case Slot::PastList:
        throw NotQuiet{};  // the handler thread meets its IndexError
      case Slot::InList:
        break;
    }
    PyObject* item = PyList_GetItem(hr, addr);
    if (!PyLong_CheckExact(item)) throw NotQuiet{};
    return words_.read(item, value);
  }
  // quiet_for() saw that every register stored into inside the bank lies in the list (Slot::InList)
  // and holds an exact int.
  void store(std::uint32_t addr, std::uint16_t value) {
    if (static_cast<long long>(addr) >= v_.shape.size) return;  // Slot::PastSize
    Ref v = host::integer(value);
    host::check(PyList_SetItem(v_.shape.hr.get(), addr, v.release()));
  }
  void notify_write(std::uint32_t, std::uint16_t) {}
  bool notify_write_denied(std::uint32_t, std::uint16_t) { return false; }

 private:
  const QuietExecutor::View& v_;
  WordReader words_;
};

}  // namespace

QuietExecutor::QuietExecutor() = default;
QuietExecutor::~QuietExecutor() = default;

LoopOutcome QuietExecutor::serve(Connection& conn) {
  if (!view_) view_ = std::make_unique<View>();  // kept: its buffers serve every wake-up
  if (view_->server != conn.server.get()) {
    view_->server = conn.server.get();
    read_shape(conn.server.get(), seen_, view_->shape, view_->ranges);
  }
  HOLDBANK_TRACE_MARK(Shaped);
  Connection::Stream& s = conn.stream;
  modbus::Frame frame;
  while (s.frames.next(frame)) {
    if (frame.dropped) continue;
    if (!view_->quiet_for(frame)) {
      s.frames.put_back();
      return LoopOutcome::ToHandler;
    }
    QuietBank bank(*view_);
    modbus::Result r;
    try {
      r = modbus::execute(frame.header, frame.pdu, frame.pdu_len, bank, view_->answer);
    } catch (const NotQuiet&) {
      s.frames.put_back();
      return LoopOutcome::ToHandler;
    } catch (const host::PyError&) {
      s.ending = LoopEnding{LoopEnding::Kind::Python};
      s.ending.error.emplace();
      return LoopOutcome::Failed;
    }
    if (r.outcome == modbus::Outcome::Malformed) {
      s.ending = LoopEnding{LoopEnding::Kind::Malformed, 0, r.error};
      return LoopOutcome::Failed;
    }
    s.out.insert(s.out.end(), view_->answer.begin(), view_->answer.end());
    HOLDBANK_TRACE_REQUEST(frame.header.tx_id);
  }
  return LoopOutcome::Served;
}

void QuietExecutor::end_wakeup() {
  if (!view_) return;
  // The references go now, while the server still holds what they name: kept until the next
  // wake-up, one could be the last (the host may replace hr meanwhile), and letting go of it
  // would run the host's finalisers here.
  view_->server = nullptr;
  view_->shape = ServerShape{};
}

void QuietExecutor::let_go() {
  view_.reset();
  seen_ = ClassVerdict{};
}

}  // namespace holdbank
