// The masters' register codecs at the edge of the interpreter: values come from and go to the
// host as its own ints, floats, texts and lists, errors are the host's own (struct.error,
// OverflowError, the codec registry's errors), and the byte work is client_codecs.
#pragma once

#include "host/host.hpp"

namespace client_codecs {

// Takes the host's struct module, whose packing decides which values a register pair can carry.
void init_bridge(PyObject* struct_module);

// (high, low) as a tuple of two ints; struct.error unless 0 <= value <= 4294967295 is an integer.
host::Ref encode_u32(PyObject* value);
// (high, low) of the binary32 form; OverflowError when too large for it, struct.error for a
// value that is not a number.
host::Ref encode_f32(PyObject* value);
host::Ref decode_u32(PyObject* high, PyObject* low);  // int
host::Ref decode_f32(PyObject* high, PyObject* low);  // float

// text.encode(encoding) two bytes a register: a list of ints.
host::Ref encode_text(PyObject* text, PyObject* encoding);
// The registers' bytes decoded with `encoding`, undecodable bytes dropped, NULs trimmed at both ends.
host::Ref decode_text(PyObject* registers, PyObject* encoding);

}  // namespace client_codecs
