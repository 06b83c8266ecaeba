// Import of Cordlink: binds `struct`, then ModbusSerialClient from pymodbus.client, then the
// Modbus RTU master class CLASS_Cordlink; any failing step fails the import.
#include "serial_client/master_link.hpp"

#include <iterator>

using host::Args;
using host::default_int;
using host::default_text;
using host::Ref;

namespace cordlink {
namespace {

namespace link = master_link;

// ModbusSerialClient(port=..., baudrate=..., parity=..., stopbits=..., bytesize=..., timeout=1);
// everything else stays at the package's defaults.
Ref build_client(const Args& a) {
  const link::ModuleState& M = link::M;
  Ref cls = link::module_global("ModbusSerialClient");
  Ref kwargs = Ref::steal(PyDict_New());
  PyObject* const keywords[] = {M.port, M.baudrate, M.parity, M.stopbits, M.bytesize};
  for (int i = 0; i < 5; ++i) host::check(PyDict_SetItem(kwargs.get(), keywords[i], a[i + 1]));
  host::check(PyDict_SetItem(kwargs.get(), M.timeout, M.one));  // a serial exchange waits one second at most
  return host::call_kw(cls.get(), M.no_args, kwargs.get());
}

Ref open(const Args& a) {
  PyObject* port_name = a[1];
  return link::open(a.self(), port_name, build_client, a);
}

// Every read and write takes (address, length or value[, encoding], slave), in that order.
template <Ref (*operation)(PyObject*, PyObject*, PyObject*, PyObject*)>
Ref with_slave(const Args& a) {
  PyObject *addr = a[1], *length_or_value = a[2], *slave = a[3];
  return operation(a.self(), addr, length_or_value, slave);
}
template <Ref (*operation)(PyObject*, PyObject*, PyObject*, PyObject*, PyObject*)>
Ref text_with_slave(const Args& a) {
  PyObject *addr = a[1], *length_or_value = a[2], *encoding = a[3], *slave = a[4];
  return operation(a.self(), addr, length_or_value, encoding, slave);
}

const char kClassDoc[] =
    "\n"
    "    重點說明\n"
    "    1.站號 (Slave ID)：Modbus RTU 是一對多的序列通訊，因此我將 slave 作為參數加入讀寫函數。\n"
    "      如果您的設備站號是 1，可以直接使用預設值；如果是其他站號（例如 2），呼叫時請傳入 slave=2。\n"
    "    2.ModbusSerialClient：在 pymodbus 3.x 中，這是專門處理 RTU/ASCII 的客戶端。\n"
    "      它接收的參數是 port（串口名稱）、baudrate（波特率）等。\n"
    "    3.Timeout：序列通訊通常比 TCP 慢且容易受雜訊影響，我在 CUF_Open 裡預設加入了 \n"
    "      timeout=1（秒），以確保通訊卡住時能正確觸發錯誤。    \n"
    "    ";

const char kOpenDoc[] =
    "\n"
    "        開啟序列埠連線\n"
    "        Pms_PortName: 如 'COM1' (Windows) 或 '/dev/ttyUSB0' (Linux)\n"
    "        Pms_Parity: 'N', 'E', 'O' (None, Even, Odd)\n"
    "        ";

constexpr host::Param kSlave{"slave", default_int(1)};
constexpr host::Param kEncoding{"encoding", default_text("big5")};

const host::MethodDef kMethods[] = {
    {"__init__", link::init_instance, {{"self"}}},
    {"CUF_Open", open,
     {{"self"}, {"Pms_PortName"}, {"Pmi_Baudrate", default_int(9600)}, {"Pms_Parity", default_text("N")},
      {"Pmi_Stopbits", default_int(1)}, {"Pmi_Bytesize", default_int(8)}},
     nullptr, kOpenDoc},
    {"CUF_Close", link::close, {{"self"}}},
    {"_read_raw", with_slave<link::read_raw>, {{"self"}, {"addr"}, {"count"}, kSlave}, nullptr,
     "RTU 讀取通常需要指定站號 (slave)"},
    {"CUF_Read_HR_int", with_slave<link::read_int>, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Len"}, kSlave}},
    {"CUF_Read_HR_long", with_slave<link::read_long>, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Len"}, kSlave}},
    {"CUF_Read_HR_double", with_slave<link::read_double>, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Len"}, kSlave}},
    {"CUF_Read_HR_str", text_with_slave<link::read_str>, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Len"}, kEncoding, kSlave}},
    {"CUF_Write_HR_int", with_slave<link::write_int>, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Value", {}, "int"}, kSlave}},
    {"CUF_Write_HR_long", with_slave<link::write_long>, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Value", {}, "int"}, kSlave}},
    {"CUF_Write_HR_double", with_slave<link::write_double>,
     {{"self"}, {"Pmi_REG_Addr"}, {"Pmf_Value", {}, "float"}, kSlave}},
    {"CUF_Write_HR_str", text_with_slave<link::write_str>,
     {{"self"}, {"Pmi_REG_Addr"}, {"Pms_Value", {}, "str"}, kEncoding, kSlave}},
};

PyModuleDef module_def = host::module_def("Cordlink");

Ref init_module() {
  const host::ClassDef def{"CLASS_Cordlink", kMethods, std::size(kMethods), kClassDoc};
  return link::create_module(&module_def, "ModbusSerialClient", def);
}

}  // namespace
}  // namespace cordlink

PyMODINIT_FUNC PyInit_Cordlink(void) {
  return host::boundary([]() { return cordlink::init_module().release(); });
}
