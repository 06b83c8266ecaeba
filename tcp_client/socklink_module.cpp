// Import of Socklink: binds `struct`, then ModbusTcpClient from pymodbus.client, then the
// Modbus TCP master class CLASS_Socklink. The master names no unit: every request carries the
// package's default unit identifier.
#include "serial_client/master_link.hpp"

#include <iterator>

using host::Args;
using host::default_text;
using host::Ref;

namespace socklink {
namespace {

namespace link = master_link;

// ModbusTcpClient(Pms_IPAddr, port=Pmi_Port); time-out, retries and unit stay the package's.
Ref build_client(const Args& a) {
  Ref cls = link::module_global("ModbusTcpClient");
  Ref args = Ref::steal(PyTuple_Pack(1, a[1]));
  Ref kwargs = Ref::steal(PyDict_New());
  host::check(PyDict_SetItem(kwargs.get(), link::M.port, a[2]));
  return host::call_kw(cls.get(), args.get(), kwargs.get());
}

Ref open(const Args& a) {
  PyObject* ip_addr = a[1];
  return link::open(a.self(), ip_addr, build_client, a);
}

// Every read and write takes (address, length or value[, encoding]) and names no unit.
template <Ref (*operation)(PyObject*, PyObject*, PyObject*, PyObject*)>
Ref without_unit(const Args& a) {
  PyObject *addr = a[1], *length_or_value = a[2];
  return operation(a.self(), addr, length_or_value, nullptr);
}
template <Ref (*operation)(PyObject*, PyObject*, PyObject*, PyObject*, PyObject*)>
Ref text_without_unit(const Args& a) {
  PyObject *addr = a[1], *length_or_value = a[2], *encoding = a[3];
  return operation(a.self(), addr, length_or_value, encoding, nullptr);
}

constexpr host::Param kEncoding{"encoding", default_text("big5")};

const host::MethodDef kMethods[] = {
    {"__init__", link::init_instance, {{"self"}}},
    {"CUF_Open", open, {{"self"}, {"Pms_IPAddr"}, {"Pmi_Port"}}},
    {"CUF_Close", link::close, {{"self"}}},
    {"_read_raw", without_unit<link::read_raw>, {{"self"}, {"addr"}, {"count"}}, nullptr,
     "僅保留核心參數 address 與 count"},
    {"CUF_Read_HR_int", without_unit<link::read_int>, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Len"}}},
    {"CUF_Read_HR_long", without_unit<link::read_long>, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Len"}}},
    {"CUF_Read_HR_double", without_unit<link::read_double>, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Len"}}},
    {"CUF_Read_HR_str", text_without_unit<link::read_str>, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Len"}, kEncoding}},
    {"CUF_Write_HR_int", without_unit<link::write_int>, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Value", {}, "int"}}},
    {"CUF_Write_HR_long", without_unit<link::write_long>, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Value", {}, "int"}}},
    {"CUF_Write_HR_double", without_unit<link::write_double>,
     {{"self"}, {"Pmi_REG_Addr"}, {"Pmf_Value", {}, "float"}}},
    {"CUF_Write_HR_str", text_without_unit<link::write_str>,
     {{"self"}, {"Pmi_REG_Addr"}, {"Pms_Value", {}, "str"}, kEncoding}},
};

PyModuleDef module_def = host::module_def("Socklink");

Ref init_module() {
  const host::ClassDef def{"CLASS_Socklink", kMethods, std::size(kMethods), nullptr};
  return link::create_module(&module_def, "ModbusTcpClient", def);
}

}  // namespace
}  // namespace socklink

PyMODINIT_FUNC PyInit_Socklink(void) {
  return host::boundary([]() { return socklink::init_module().release(); });
}
