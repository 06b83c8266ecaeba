#include "server/stub.hpp"
namespace holdbank {
using host::default_text;
using host::default_int;
const host::MethodDef kOpen{"CUF_Open", not_yet,
    {{"self"}, {"ip", default_text("0.0.0.0"), "str"}, {"port", default_int(502), "int"}}};
const host::MethodDef kClose{"CUF_Close", not_yet, {{"self"}}, nullptr, " 主動安全關閉伺服器：先存檔、再釋放網絡資源 "};
}
