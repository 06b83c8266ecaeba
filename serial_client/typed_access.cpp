// The typed holding-register operations of the masters. Reads go through the instance's own
// `_read_raw`, which requests, reports and calls CUE_OnPacketREAD; they only decode. Writes call
// the client directly, encode before anything is sent, and catch nothing.
#include "serial_client/codec_bridge.hpp"
#include "serial_client/master_link.hpp"

using host::Ref;

namespace master_link {
namespace {

// self._read_raw(addr, count[, slave=slave]), looked up by name so a subclass's version is used.
Ref read_raw_of(PyObject* self, PyObject* addr, PyObject* count, PyObject* slave) {
  Ref method = host::getattr(self, M._read_raw);
  Ref args = Ref::steal(PyTuple_Pack(2, addr, count));
  Ref kwargs;
  if (slave) {
    kwargs = Ref::steal(PyDict_New());
    host::check(PyDict_SetItem(kwargs.get(), M.slave, slave));
  }
  return host::call_kw(method.get(), args.get(), kwargs.get());
}

using PairDecoder = Ref (*)(PyObject* high, PyObject* low);

// One value per register pair, high word first; an unpaired last register raises the host's
// IndexError, after CUE_OnPacketREAD has seen the registers.
Ref read_pairs(PyObject* self, PyObject* addr, PyObject* length, PyObject* slave, PairDecoder decode) {
  Ref count = Ref::steal(PyNumber_Multiply(length, M.two));
  Ref res = read_raw_of(self, addr, count.get(), slave);
  Ref values = Ref::steal(PyList_New(0));
  if (!host::truthy(res.get())) return values;
  const Py_ssize_t n = PyObject_Size(res.get());
  if (n < 0) host::throw_error();
  for (Py_ssize_t i = 0; i < n; i += 2) {
    Ref i0 = host::integer(i);
    Ref i1 = host::integer(i + 1);
    Ref high = Ref::steal(PyObject_GetItem(res.get(), i0.get()));
    Ref low = Ref::steal(PyObject_GetItem(res.get(), i1.get()));
    Ref value = decode(high.get(), low.get());
    host::check(PyList_Append(values.get(), value.get()));
  }
  return values;
}

Ref isError_of(PyObject* res) {
  return host::call_method(res, M.isError);
}

// After the request: CUE_OnPacketWRITE with `report()` when the answer is good, then the answer's
// verdict. isError() is asked twice, once for each.
template <class Report>
Ref finish_write(PyObject* self, PyObject* res, Report report) {
  if (!host::truthy(isError_of(res).get())) {
    Ref hook = host::getattr(self, M.CUE_OnPacketWRITE);
    if (host::truthy(hook.get())) {
      Ref arg = report();
      host::call(hook.get(), arg.get());
    }
  }
  return host::boolean(!host::truthy(isError_of(res).get()));
}

Ref write_words(PyObject* self, PyObject* addr, PyObject* words, PyObject* slave) {
  Ref client = host::getattr(self, M.client);
  return call_client(client.get(), M.write_registers, addr, M.values, words, slave);
}

}  // namespace

Ref read_int(PyObject* self, PyObject* addr, PyObject* length, PyObject* slave) {
  Ref res = read_raw_of(self, addr, length, slave);
  if (host::truthy(res.get())) return res;
  return Ref::steal(PyList_New(0));
}

Ref read_long(PyObject* self, PyObject* addr, PyObject* length, PyObject* slave) {
  return read_pairs(self, addr, length, slave, register_codecs::decode_u32);
}

Ref read_double(PyObject* self, PyObject* addr, PyObject* length, PyObject* slave) {
  return read_pairs(self, addr, length, slave, register_codecs::decode_f32);
}

Ref read_str(PyObject* self, PyObject* addr, PyObject* length, PyObject* encoding, PyObject* slave) {
  Ref res = read_raw_of(self, addr, length, slave);
  if (!host::truthy(res.get())) return host::text("");
  return register_codecs::decode_text(res.get(), encoding);
}

Ref write_int(PyObject* self, PyObject* addr, PyObject* value, PyObject* slave) {
  Ref client = host::getattr(self, M.client);
  Ref res = call_client(client.get(), M.write_register, addr, M.value, value, slave);
  return finish_write(self, res.get(), [&] { return Ref::borrow(value); });
}

Ref write_long(PyObject* self, PyObject* addr, PyObject* value, PyObject* slave) {
  Ref words = register_codecs::encode_u32(value);
  Ref res = write_words(self, addr, words.get(), slave);
  return finish_write(self, res.get(), [&] { return Ref::borrow(value); });
}

Ref write_double(PyObject* self, PyObject* addr, PyObject* value, PyObject* slave) {
  Ref words = register_codecs::encode_f32(value);
  Ref res = write_words(self, addr, words.get(), slave);
  return finish_write(self, res.get(), [&] { return Ref::borrow(value); });
}

Ref write_str(PyObject* self, PyObject* addr, PyObject* value, PyObject* encoding, PyObject* slave) {
  Ref words = register_codecs::encode_text(value, encoding);
  Ref res = write_words(self, addr, words.get(), slave);
  return finish_write(self, res.get(), [&] {
    // "<value> (<encoding>)"
    Ref text = Ref::steal(PyObject_Str(value));
    Ref enc = Ref::steal(PyObject_Str(encoding));
    return Ref::steal(PyUnicode_FromFormat("%U (%U)", text.get(), enc.get()));
  });
}

}  // namespace master_link
