// Import of Cordlink: binds `struct`, then ModbusSerialClient from pymodbus.client, then the
// Modbus RTU master class CLASS_Cordlink; any failing step fails the import.
#include <iterator>

#include "serial_client/master_link.hpp"

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

Ref open(const Args& a) { return link::open(a.self(), a[1], build_client, a); }
Ref read_raw(const Args& a) { return link::read_raw(a.self(), a[1], a[2], a[3]); }
Ref read_int(const Args& a) { return link::read_int(a.self(), a[1], a[2], a[3]); }
Ref read_long(const Args& a) { return link::read_long(a.self(), a[1], a[2], a[3]); }
Ref read_double(const Args& a) { return link::read_double(a.self(), a[1], a[2], a[3]); }
Ref read_str(const Args& a) { return link::read_str(a.self(), a[1], a[2], a[3], a[4]); }
Ref write_int(const Args& a) { return link::write_int(a.self(), a[1], a[2], a[3]); }
Ref write_long(const Args& a) { return link::write_long(a.self(), a[1], a[2], a[3]); }
Ref write_double(const Args& a) { return link::write_double(a.self(), a[1], a[2], a[3]); }
Ref write_str(const Args& a) { return link::write_str(a.self(), a[1], a[2], a[3], a[4]); }

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
    {"_read_raw", read_raw, {{"self"}, {"addr"}, {"count"}, kSlave}, nullptr, "RTU 讀取通常需要指定站號 (slave)"},
    {"CUF_Read_HR_int", read_int, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Len"}, kSlave}},
    {"CUF_Read_HR_long", read_long, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Len"}, kSlave}},
    {"CUF_Read_HR_double", read_double, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Len"}, kSlave}},
    {"CUF_Read_HR_str", read_str, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Len"}, kEncoding, kSlave}},
    {"CUF_Write_HR_int", write_int, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Value", {}, "int"}, kSlave}},
    {"CUF_Write_HR_long", write_long, {{"self"}, {"Pmi_REG_Addr"}, {"Pmi_Value", {}, "int"}, kSlave}},
    {"CUF_Write_HR_double", write_double, {{"self"}, {"Pmi_REG_Addr"}, {"Pmf_Value", {}, "float"}, kSlave}},
    {"CUF_Write_HR_str", write_str, {{"self"}, {"Pmi_REG_Addr"}, {"Pms_Value", {}, "str"}, kEncoding, kSlave}},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "Cordlink",
    nullptr,  // no module docstring
    -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

Ref init_module() {
  const host::ClassDef def{"CLASS_Cordlink", kMethods, std::size(kMethods), kClassDoc};
  return link::create_module(&module_def, "ModbusSerialClient", def);
}

}  // namespace
}  // namespace cordlink

PyMODINIT_FUNC PyInit_Cordlink(void) {
  return host::boundary([]() { return cordlink::init_module().release(); });
}
