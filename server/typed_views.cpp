// Typed local views of the bank: texts packed two bytes per register, and dumps of a register
// range as 16-bit, 32-bit, float or text rows.
//
// Every register goes through the object's own CUF_REG_Read / CUF_REG_Write, called by name one
// at a time, so their bounds checks and locking apply and a subclass that overrides them is
// honoured; nothing here touches `hr` or `lock`.
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "server/holdbank.hpp"

using host::Args;
using host::Ref;

namespace holdbank {
namespace {

// Names used only here; made on first use, under the interpreter lock, and kept for the process.
struct ViewNames {
  PyObject *encode, *decode, *ignore, *pack, *word_format, *one, *two;
  PyObject *UINT16, *INT16, *UINT32, *INT32, *FLOAT, *STRING;
  PyObject* struct_module;
};

const ViewNames& V() {
  static const ViewNames names = [] {
    auto I = [](const char* s) { return host::intern(s).release(); };
    ViewNames v;
    v.encode = I("encode");
    v.decode = I("decode");
    v.ignore = I("ignore");
    v.pack = I("pack");
    v.word_format = I(">H");
    v.one = host::integer(1).release();
    v.two = host::integer(2).release();
    v.UINT16 = I("UINT16");
    v.INT16 = I("INT16");
    v.UINT32 = I("UINT32");
    v.INT32 = I("INT32");
    v.FLOAT = I("FLOAT");
    v.STRING = I("STRING");
    v.struct_module = host::getattr(N.holdbank_module, "struct").release();
    return v;
  }();
  return names;
}

bool equals(PyObject* a, PyObject* b) { return host::check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

// A register value as the two bytes struct.pack('>H', value) gives. A plain int in range is
// packed here; anything else goes to the host's struct, so it gets exactly the host's answer
// (an int-like object is packed, an out-of-range or non-integer value raises struct.error).
std::uint16_t word_of(PyObject* value) {
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) host::throw_error();
    if (!overflow && v >= 0 && v <= 0xFFFF) return static_cast<std::uint16_t>(v);
  }
  const ViewNames& v = V();
  Ref packed = host::call_method(v.struct_module, v.pack, v.word_format, value);
  char* data = nullptr;
  Py_ssize_t len = 0;
  host::check(PyBytes_AsStringAndSize(packed.get(), &data, &len));
  if (len != 2) host::raise(PyExc_SystemError, "struct.pack('>H') did not give two bytes");
  const auto* b = reinterpret_cast<const unsigned char*>(data);
  return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

Ref read_register(PyObject* self, PyObject* addr) { return host::call_method(self, N.CUF_REG_Read, addr); }

Ref plus(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }

// f"{x}": what the row keys and the dtype message are made of.
Ref formatted(PyObject* x) {
  Ref empty = host::text("");
  return Ref::steal(PyObject_Format(x, empty.get()));
}

Ref reg_write_str(const Args& a) {
  PyObject* self = a.self();
  PyObject* addr = a[1];
  // The text's own encode: the host's codec registry, strict, and the host's errors for a text
  // or an encoding name of the wrong kind. Nothing is written if this fails.
  Ref encoded = host::call_method(a[2], V().encode, a[3]);
  char* data = nullptr;
  Py_ssize_t len = 0;
  host::check(PyBytes_AsStringAndSize(encoded.get(), &data, &len));
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  const Py_ssize_t count = (len + 1) / 2;  // an odd last byte gets a zero byte as partner
  for (Py_ssize_t i = 0; i < count; ++i) {
    const unsigned hi = bytes[2 * i];
    const unsigned lo = 2 * i + 1 < len ? bytes[2 * i + 1] : 0;
    Ref offset = Ref::steal(PyLong_FromSsize_t(i));
    Ref at = plus(addr, offset.get());
    Ref value = host::integer(static_cast<long long>(hi << 8 | lo));
    // A register outside the bank is skipped; the count below still includes it.
    host::call_method(self, N.CUF_REG_Write, at.get(), value.get());
  }
  return Ref::steal(PyLong_FromSsize_t(count));
}

// The text held by `length` registers from `addr` on, as CUF_REG_ReadSTR returns it.
Ref read_text(PyObject* self, PyObject* addr, PyObject* length, PyObject* encoding) {
  // `length` counts as range() counts it: an integer (or int-like) object, nothing else.
  Ref n = Ref::steal(PyNumber_Index(length));
  int overflow = 0;
  long long count = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
  if (count == -1 && PyErr_Occurred()) host::throw_error();
  if (overflow) count = overflow > 0 ? LLONG_MAX : 0;

  // Every register is read before any is packed: an address outside the bank is reported as
  // such even when an earlier register holds something that cannot be packed.
  std::vector<Ref> values;
  for (long long i = 0; i < count; ++i) {
    Ref offset = host::integer(i);
    Ref at = plus(addr, offset.get());
    values.push_back(read_register(self, at.get()));
  }
  std::string bytes;
  bytes.reserve(values.size() * 2);
  for (const Ref& v : values) {
    const std::uint16_t w = word_of(v.get());
    bytes.push_back(static_cast<char>(w >> 8));
    bytes.push_back(static_cast<char>(w & 0xFF));
  }
  Ref raw = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  Ref text = host::call_method(raw.get(), V().decode, encoding, V().ignore);

  // Only the trailing NULs go (the padding of an odd byte count, unused registers).
  Py_ssize_t end = PyUnicode_GetLength(text.get());
  if (end < 0) host::throw_error();
  Py_ssize_t keep = end;
  while (keep > 0) {
    const Py_UCS4 c = PyUnicode_ReadChar(text.get(), keep - 1);
    if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) host::throw_error();
    if (c != 0) break;
    --keep;
  }
  if (keep == end) return text;
  return Ref::steal(PyUnicode_Substring(text.get(), 0, keep));
}

Ref reg_read_str(const Args& a) { return read_text(a.self(), a[1], a[2], a[3]); }

// One pair of registers, high word at the lower address, read as the 32-bit kind `dtype`.
Ref decode32(PyObject* dtype, std::uint16_t high, std::uint16_t low) {
  const std::uint32_t bits = static_cast<std::uint32_t>(high) << 16 | low;
  const ViewNames& v = V();
  if (equals(v.UINT32, dtype)) return Ref::steal(PyLong_FromUnsignedLong(bits));
  if (equals(v.INT32, dtype)) return host::integer(static_cast<std::int32_t>(bits));
  float f;
  static_assert(sizeof f == sizeof bits, "binary32 float");
  std::memcpy(&f, &bits, sizeof f);
  return Ref::steal(PyFloat_FromDouble(static_cast<double>(f)));  // widening is exact
}

// "a-b" from two keys, as the row keys are written.
Ref joined_key(PyObject* a, PyObject* b) {
  Ref left = formatted(a);
  Ref right = formatted(b);
  Ref dash = host::text("-");
  Ref first = Ref::steal(PyUnicode_Concat(left.get(), dash.get()));
  return Ref::steal(PyUnicode_Concat(first.get(), right.get()));
}

void append_row(PyObject* rows, PyObject* key, PyObject* value) {
  Ref row = Ref::steal(PyTuple_Pack(2, key, value));
  host::check(PyList_Append(rows, row.get()));
}

enum class Step { Next, Stop };

// One step of the dump loop at `current`; advances `current` or says the dump is complete.
Step dump_step(PyObject* self, PyObject* start, PyObject* end, PyObject* dtype, Ref& current, PyObject* rows) {
  const ViewNames& v = V();
  if (equals(v.UINT16, dtype) || equals(v.INT16, dtype)) {
    Ref value = read_register(self, current.get());
    if (equals(v.INT16, dtype)) value = host::integer(static_cast<std::int16_t>(word_of(value.get())));
    append_row(rows, current.get(), value.get());
    current = plus(current.get(), v.one);
    return Step::Next;
  }
  if (equals(v.UINT32, dtype) || equals(v.INT32, dtype) || equals(v.FLOAT, dtype)) {
    Ref next = plus(current.get(), v.one);
    // A last register without its partner is not dumped.
    if (host::check(PyObject_RichCompareBool(next.get(), end, Py_GT))) return Step::Stop;
    Ref high = read_register(self, current.get());
    Ref low = read_register(self, next.get());
    const std::uint16_t hi = word_of(high.get());
    const std::uint16_t lo = word_of(low.get());
    Ref value = decode32(dtype, hi, lo);
    Ref key = joined_key(current.get(), next.get());
    append_row(rows, key.get(), value.get());
    current = plus(current.get(), v.two);
    return Step::Next;
  }
  if (equals(v.STRING, dtype)) {
    Ref span = Ref::steal(PyNumber_Subtract(end, start));
    Ref count = plus(span.get(), v.one);
    Ref text = host::call_method(self, N.CUF_REG_ReadSTR, start, count.get());
    Ref key = joined_key(start, end);
    append_row(rows, key.get(), text.get());
    return Step::Stop;
  }
  Ref message = Ref::steal(PyUnicode_Concat(host::text("Unsupported dtype: ").get(), formatted(dtype).get()));
  PyErr_SetObject(PyExc_ValueError, message.get());
  host::throw_error();
}

Ref reg_dump(const Args& a) {
  PyObject* self = a.self();
  PyObject* start = a[1];
  PyObject* end = a[2];
  PyObject* dtype = a[3];
  Ref rows = Ref::steal(PyList_New(0));
  Ref current = Ref::borrow(start);
  // The loop test is not guarded: bounds that cannot be compared are the caller's error.
  while (host::check(PyObject_RichCompareBool(current.get(), end, Py_LE))) {
    try {
      if (dump_step(self, start, end, dtype, current, rows.get()) == Step::Stop) break;
    } catch (const host::PyError&) {
      host::log_ordinary_error(N.logger, N.error, "Dump error: ");
      break;
    }
  }
  return rows;
}

using host::default_text;

}  // namespace

const host::MethodDef kRegWriteStr{"CUF_REG_WriteSTR", reg_write_str,
    {{"self"}, {"addr", {}, "int"}, {"text", {}, "str"}, {"encoding", default_text("utf-8"), "str"}}, "int"};
const host::MethodDef kRegReadStr{"CUF_REG_ReadSTR", reg_read_str,
    {{"self"}, {"addr", {}, "int"}, {"length", {}, "int"}, {"encoding", default_text("utf-8"), "str"}}, "str"};
const host::MethodDef kRegDump{"CUF_REG_Dump", reg_dump,
    {{"self"}, {"start", {}, "int"}, {"end", {}, "int"}, {"dtype", default_text("UINT16"), "str"}}, "List[Any]"};

}  // namespace holdbank
