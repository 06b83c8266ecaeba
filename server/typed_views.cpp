#include "server/stub.hpp"
namespace holdbank {
using host::default_text;
const host::MethodDef kRegWriteStr{"CUF_REG_WriteSTR", not_yet,
    {{"self"}, {"addr", {}, "int"}, {"text", {}, "str"}, {"encoding", default_text("utf-8"), "str"}}, "int"};
const host::MethodDef kRegReadStr{"CUF_REG_ReadSTR", not_yet,
    {{"self"}, {"addr", {}, "int"}, {"length", {}, "int"}, {"encoding", default_text("utf-8"), "str"}}, "str"};
const host::MethodDef kRegDump{"CUF_REG_Dump", not_yet,
    {{"self"}, {"start", {}, "int"}, {"end", {}, "int"}, {"dtype", default_text("UINT16"), "str"}}, "List[Any]"};
}
