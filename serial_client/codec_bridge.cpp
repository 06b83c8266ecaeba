#include "serial_client/codec_bridge.hpp"

#include <memory>
#include <string>

using host::Ref;

namespace register_codecs {
namespace {

// What the bridge keeps for as long as the module lives, filled by init_bridge at import.
struct BridgeState {
  PyObject* pack;  // the masters' struct.pack, as bound at import
  PyObject *format_u16, *format_u32, *format_f32, *encode, *decode, *ignore;
};
BridgeState B;

Ref master_pack(PyObject* format, PyObject* value) { return host::call(B.pack, format, value); }

// The bytes of a packed value.
std::string bytes_of(const Ref& b) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  host::check(PyBytes_AsStringAndSize(b.get(), &data, &size));
  return std::string(data, static_cast<std::size_t>(size));
}

Ref pair_tuple(std::uint32_t pattern) {
  const WordPair words = split_pattern(pattern);
  Ref high = Ref::steal(PyLong_FromLong(words.high));
  Ref low = Ref::steal(PyLong_FromLong(words.low));
  return Ref::steal(PyTuple_Pack(2, high.get(), low.get()));
}

Ref encode_pattern(PyObject* format, PyObject* value) {
  const std::string bytes = bytes_of(master_pack(format, value));
  if (bytes.size() != 4) host::raise(PyExc_SystemError, "struct.pack gave an unexpected size");
  return pair_tuple(pattern_from_big_endian(reinterpret_cast<const unsigned char*>(bytes.data())));
}

Ref master_pair(PyObject* high, PyObject* low, Form32 form) {
  const std::uint16_t h = register_word(high, master_pack);
  return pair_value(h, register_word(low, master_pack), form);
}

struct PyMemFree {
  void operator()(Py_UCS4* p) const noexcept {
    if (!host::exiting_elsewhere()) PyMem_Free(p);  // the allocator is the interpreter's, under its lock
  }
};

}  // namespace

std::uint16_t register_word(PyObject* value, Pack pack) {
  long long v = 0;
  if (host::int_within(value, v, 0, 0xFFFF, host::IntKind::or_subclass)) return static_cast<std::uint16_t>(v);
  const std::string bytes = bytes_of(pack(B.format_u16, value));
  if (bytes.size() != 2) host::raise(PyExc_SystemError, "struct.pack('>H') did not give two bytes");
  return word_from_big_endian(reinterpret_cast<const unsigned char*>(bytes.data()));
}

std::vector<std::uint16_t> text_registers(PyObject* text, PyObject* encoding) {
  return registers_from_bytes(bytes_of(host::call_method(text, B.encode, encoding)));
}

Ref registers_text(const std::vector<std::uint16_t>& registers, PyObject* encoding, NulTrim ends) {
  const std::string bytes = bytes_from_registers(registers);
  Ref raw = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  Ref text = host::call_method(raw.get(), B.decode, encoding, B.ignore);

  const Py_ssize_t length = PyUnicode_GetLength(text.get());
  if (length < 0) host::throw_error();
  std::unique_ptr<Py_UCS4, PyMemFree> chars(PyUnicode_AsUCS4Copy(text.get()));
  if (!chars) host::throw_error();
  const auto range = nul_trimmed(chars.get(), static_cast<std::size_t>(length), ends);
  return Ref::steal(PyUnicode_Substring(text.get(), static_cast<Py_ssize_t>(range.first),
                                        static_cast<Py_ssize_t>(range.second)));
}

Ref pair_value(std::uint16_t high, std::uint16_t low, Form32 form) {
  const std::uint32_t pattern = join_pattern(high, low);
  switch (form) {
    case Form32::unsigned_int:
      return Ref::steal(PyLong_FromUnsignedLong(pattern));
    case Form32::signed_int:
      return host::integer(signed_from_pattern(pattern));
    case Form32::binary32:
      break;
  }
  return Ref::steal(PyFloat_FromDouble(float_from_pattern(pattern)));
}

void init_bridge(PyObject* struct_module) {
  B.pack = host::keep(host::getattr(struct_module, "pack"));
  B.format_u16 = host::keep_name(">H");
  B.format_u32 = host::keep_name(">I");
  B.format_f32 = host::keep_name(">f");
  B.encode = host::keep_name("encode");
  B.decode = host::keep_name("decode");
  B.ignore = host::keep_name("ignore");
}

Ref encode_u32(PyObject* value) { return encode_pattern(B.format_u32, value); }

Ref encode_f32(PyObject* value) { return encode_pattern(B.format_f32, value); }

Ref decode_u32(PyObject* high, PyObject* low) { return master_pair(high, low, Form32::unsigned_int); }

Ref decode_f32(PyObject* high, PyObject* low) { return master_pair(high, low, Form32::binary32); }

Ref encode_text(PyObject* text, PyObject* encoding) {
  const std::vector<std::uint16_t> registers = text_registers(text, encoding);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(registers.size())));
  for (std::size_t i = 0; i < registers.size(); ++i) {
    PyObject* word = host::check(PyLong_FromLong(registers[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), word);  // steals `word`
  }
  return list;
}

Ref decode_text(PyObject* registers, PyObject* encoding) {
  std::vector<std::uint16_t> words;
  Ref iter = Ref::steal(PyObject_GetIter(registers));
  while (Ref item = Ref::steal_or_null(PyIter_Next(iter.get()))) words.push_back(register_word(item.get(), master_pack));
  if (PyErr_Occurred()) host::throw_error();
  return registers_text(words, encoding, NulTrim::both_ends);
}

}  // namespace register_codecs
