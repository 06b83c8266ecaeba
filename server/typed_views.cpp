// Typed local views of the bank: texts packed two bytes per register, and dumps of a register
// range as 16-bit, 32-bit, float or text rows.
//
// Every register goes through the object's own CUF_REG_Read / CUF_REG_Write, called by name one
// at a time, so their bounds checks and locking apply and a subclass that overrides them is
// honoured; nothing here touches `hr` or `lock`.
#include "serial_client/codec_bridge.hpp"
#include "server/holdbank.hpp"

#include <cstdint>
#include <vector>

using host::Args;
using host::Ref;
using register_codecs::Form32;

namespace holdbank {
namespace {

using host::equals;

// struct.pack looked up on the module's struct at each call, so a replaced `pack` is honoured.
Ref struct_pack(PyObject* format, PyObject* value) {
  return host::call_method(M.struct_module, M.pack, format, value);
}

// A register value as the two bytes struct.pack('>H', value) gives.
std::uint16_t word_of(PyObject* value) { return register_codecs::register_word(value, struct_pack); }

Ref read_register(PyObject* self, PyObject* addr) { return host::call_method(self, M.CUF_REG_Read, addr); }

Ref plus(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }

// f"{x}": what the row keys and the dtype message are made of.
Ref formatted(PyObject* x) {
  Ref empty = host::text("");
  return Ref::steal(PyObject_Format(x, empty.get()));
}

Ref reg_write_str(const Args& a) {
  PyObject* self = a.self();
  PyObject *addr = a[1], *text = a[2], *encoding = a[3];
  // The text's own encode: the host's codec registry, strict, and the host's errors for a text
  // or an encoding name of the wrong kind. Nothing is written if this fails.
  const std::vector<std::uint16_t> words = register_codecs::text_registers(text, encoding);
  for (std::size_t i = 0; i < words.size(); ++i) {
    Ref offset = Ref::steal(PyLong_FromSize_t(i));
    Ref at = plus(addr, offset.get());
    Ref value = host::integer(words[i]);
    // A register outside the bank is skipped; the count below still includes it.
    host::call_method(self, M.CUF_REG_Write, at.get(), value.get());
  }
  return Ref::steal(PyLong_FromSize_t(words.size()));
}

// The text held by `length` registers from `addr` on, as CUF_REG_ReadSTR returns it.
Ref read_text(PyObject* self, PyObject* addr, PyObject* length, PyObject* encoding) {
  // `length` counts as range() counts it: an integer (or int-like) object, nothing else.
  Ref n = Ref::steal(PyNumber_Index(length));
  const long long count = host::clamped_int(n.get());  // below zero reads nothing, as range() does

  // Every register is read before any is packed: an address outside the bank is reported as
  // such even when an earlier register holds something that cannot be packed.
  std::vector<Ref> values;
  for (long long i = 0; i < count; ++i) {
    Ref offset = host::integer(i);
    Ref at = plus(addr, offset.get());
    values.push_back(read_register(self, at.get()));
  }
  std::vector<std::uint16_t> words;
  words.reserve(values.size());
  for (const Ref& v : values) words.push_back(word_of(v.get()));
  // Only the trailing NULs go (the padding of an odd byte count, unused registers).
  return register_codecs::registers_text(words, encoding, register_codecs::NulTrim::end_only);
}

Ref reg_read_str(const Args& a) {
  PyObject *addr = a[1], *length = a[2], *encoding = a[3];
  return read_text(a.self(), addr, length, encoding);
}

// One pair of registers, high word at the lower address, read as the 32-bit kind `dtype`.
Ref decode32(PyObject* dtype, std::uint16_t high, std::uint16_t low) {
  const Form32 form = equals(M.UINT32, dtype) ? Form32::unsigned_int
                      : equals(M.INT32, dtype) ? Form32::signed_int
                                               : Form32::binary32;
  return register_codecs::pair_value(high, low, form);
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
  if (equals(M.UINT16, dtype) || equals(M.INT16, dtype)) {
    Ref value = read_register(self, current.get());
    if (equals(M.INT16, dtype)) value = host::integer(static_cast<std::int16_t>(word_of(value.get())));
    append_row(rows, current.get(), value.get());
    current = plus(current.get(), M.one);
    return Step::Next;
  }
  if (equals(M.UINT32, dtype) || equals(M.INT32, dtype) || equals(M.FLOAT, dtype)) {
    Ref next = plus(current.get(), M.one);
    // A last register without its partner is not dumped.
    if (host::check(PyObject_RichCompareBool(next.get(), end, Py_GT))) return Step::Stop;
    Ref high = read_register(self, current.get());
    Ref low = read_register(self, next.get());
    const std::uint16_t hi = word_of(high.get());
    const std::uint16_t lo = word_of(low.get());
    Ref value = decode32(dtype, hi, lo);
    Ref key = joined_key(current.get(), next.get());
    append_row(rows, key.get(), value.get());
    current = plus(current.get(), M.two);
    return Step::Next;
  }
  if (equals(M.STRING, dtype)) {
    Ref span = Ref::steal(PyNumber_Subtract(end, start));
    Ref count = plus(span.get(), M.one);
    Ref text = host::call_method(self, M.CUF_REG_ReadSTR, start, count.get());
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
      host::log_ordinary_error(M.logger, M.error, "Dump error: ");
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
