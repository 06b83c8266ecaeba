#include "server/stub.hpp"
namespace holdbank {
using host::default_text;
using host::default_int;
const host::MethodDef kSecuredInit{"__init__", not_yet,
    {{"self"}, {"size", default_int(7000), "int"}, {"reg_log_filename", default_text("modbus_reg_tbl.json"), "str"}}};
const host::MethodDef kSecuredSetattr{"__setattr__", not_yet, {{"self"}, {"name"}, {"value"}}};
const host::MethodDef kSecurityCheck{"_internal_security_check", not_yet, {{"self"}, {"ip_addr"}, {"full_addr"}}, nullptr,
    " 🔒 正面表列檢查：只允許白名單內的 IP 放行，其餘一律掐斷 "};
const host::MethodDef kAllowIpAdd{"CUF_AllowIP_Add", not_yet, {{"self"}, {"Pms_IP", {}, "str"}}, nullptr,
    " 功能: 增加允許連入的 IP 到白名單中 "};
const host::MethodDef kAllowIpActive{"CUF_AllowIP_Active", not_yet, {{"self"}, {"Pms_Active", {}, "bool"}}, nullptr,
    " 功能: 啟動或關閉正面表列防火牆 (傳入 True/False) "};
}
