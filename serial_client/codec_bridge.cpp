#include "serial_client/codec_bridge.hpp"

#include <memory>
#include <string>
#include <vector>

#include "serial_client/client_codecs.hpp"

using host::Ref;

namespace client_codecs {
namespace {

// Set once at import; the module keeps them for the process's life.
PyObject* g_pack = nullptr;
PyObject* g_format_u16 = nullptr;
PyObject* g_format_u32 = nullptr;
PyObject* g_format_f32 = nullptr;
PyObject* g_encode = nullptr;
PyObject* g_decode = nullptr;
PyObject* g_ignore = nullptr;

// struct.pack(format, value), which raises the host's own error for a value the format cannot
// carry, as the bytes it produced.
std::string packed(PyObject* format, PyObject* value) {
  Ref b = host::call(g_pack, format, value);
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
  const std::string bytes = packed(format, value);
  if (bytes.size() != 4) host::raise(PyExc_SystemError, "struct.pack gave an unexpected size");
  return pair_tuple(pattern_from_big_endian(reinterpret_cast<const unsigned char*>(bytes.data())));
}

// One register as a 16-bit word; anything but an int 0..65535 gets the host's verdict through
// struct.pack(">H"), as the host would when packing it.
std::uint16_t register_word(PyObject* r) {
  if (PyLong_Check(r)) {
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(r, &overflow);
    if (v == -1 && PyErr_Occurred()) host::throw_error();
    if (!overflow && v >= 0 && v <= 0xFFFF) return static_cast<std::uint16_t>(v);
  }
  const std::string bytes = packed(g_format_u16, r);
  if (bytes.size() != 2) host::raise(PyExc_SystemError, "struct.pack gave an unexpected size");
  return static_cast<std::uint16_t>((static_cast<unsigned char>(bytes[0]) << 8) | static_cast<unsigned char>(bytes[1]));
}

std::uint32_t pair_pattern(PyObject* high, PyObject* low) {
  const std::uint16_t h = register_word(high);
  return join_pattern(h, register_word(low));
}

struct PyMemFree {
  void operator()(Py_UCS4* p) const noexcept {
    if (!host::exiting_elsewhere()) PyMem_Free(p);  // the allocator is the interpreter's, under its lock
  }
};

}  // namespace

void init_bridge(PyObject* struct_module) {
  g_pack = host::getattr(struct_module, "pack").release();
  g_format_u16 = host::intern(">H").release();
  g_format_u32 = host::intern(">I").release();
  g_format_f32 = host::intern(">f").release();
  g_encode = host::intern("encode").release();
  g_decode = host::intern("decode").release();
  g_ignore = host::intern("ignore").release();
}

Ref encode_u32(PyObject* value) { return encode_pattern(g_format_u32, value); }

Ref encode_f32(PyObject* value) { return encode_pattern(g_format_f32, value); }

Ref decode_u32(PyObject* high, PyObject* low) {
  return Ref::steal(PyLong_FromUnsignedLong(pair_pattern(high, low)));
}

Ref decode_f32(PyObject* high, PyObject* low) {
  return Ref::steal(PyFloat_FromDouble(float_from_pattern(pair_pattern(high, low))));
}

Ref encode_text(PyObject* text, PyObject* encoding) {
  Ref encoded = host::call_method(text, g_encode, encoding);
  char* data = nullptr;
  Py_ssize_t size = 0;
  host::check(PyBytes_AsStringAndSize(encoded.get(), &data, &size));
  const std::vector<std::uint16_t> registers = registers_from_bytes(std::string(data, static_cast<std::size_t>(size)));
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
  while (Ref item = Ref::steal_or_null(PyIter_Next(iter.get()))) words.push_back(register_word(item.get()));
  if (PyErr_Occurred()) host::throw_error();

  const std::string bytes = bytes_from_registers(words);
  Ref raw = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  Ref text = host::call_method(raw.get(), g_decode, encoding, g_ignore);

  const Py_ssize_t length = PyUnicode_GetLength(text.get());
  if (length < 0) host::throw_error();
  std::unique_ptr<Py_UCS4, PyMemFree> chars(PyUnicode_AsUCS4Copy(text.get()));
  if (!chars) host::throw_error();
  const auto range = nul_trimmed(chars.get(), static_cast<std::size_t>(length));
  return Ref::steal(PyUnicode_Substring(text.get(), static_cast<Py_ssize_t>(range.first),
                                        static_cast<Py_ssize_t>(range.second)));
}

}  // namespace client_codecs
