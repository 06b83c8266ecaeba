// The register codecs at the edge of the interpreter: values come from and go to the host as its
// own ints, floats, texts and lists, errors are the host's own (struct.error, OverflowError, the
// codec registry's errors), and the byte work is register_codecs. The first part serves the
// server's typed views and the masters alike; the second holds the masters' own forms.
#pragma once

#include "host/host.hpp"
#include "serial_client/register_codecs.hpp"

#include <cstdint>
#include <vector>

namespace register_codecs {

// struct.pack(format, value) as a side reaches it: the masters bind struct.pack at import, the
// server asks its struct module for `pack` at each call.
using Pack = host::Ref (*)(PyObject* format, PyObject* value);

// A register value as a 16-bit word. An int 0..65535 is taken as it is; anything else gets the
// host's verdict through pack(">H", value): an int-like object is packed, an out-of-range or
// non-integer value raises struct.error.
std::uint16_t register_word(PyObject* value, Pack pack);

// text.encode(encoding) (strict, the host's errors), two bytes a register.
std::vector<std::uint16_t> text_registers(PyObject* text, PyObject* encoding);
// The registers' bytes decoded with `encoding`, undecodable bytes dropped, NULs trimmed at `ends`.
host::Ref registers_text(const std::vector<std::uint16_t>& registers, PyObject* encoding, NulTrim ends);

enum class Form32 { unsigned_int, signed_int, binary32 };
// A register pair, high word first, as a host int or float of the given form.
host::Ref pair_value(std::uint16_t high, std::uint16_t low, Form32 form);

// The bridge's names, and the struct module whose packing decides which values the masters'
// register pairs can carry; every module fills them at import.
void init_bridge(PyObject* struct_module);

// --- the masters' forms ---------------------------------------------------------------------

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

}  // namespace register_codecs
