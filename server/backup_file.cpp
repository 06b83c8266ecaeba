#include "server/stub.hpp"
namespace holdbank {
const host::MethodDef kSaveToFile{"CUF_SaveToFile", not_yet, {{"self"}, {"filename", {}, "str"}}, nullptr,
    " 將所有 Holding Register 依據可讀寫與唯讀區分並存成檔案 "};
const host::MethodDef kLoadFromFile{"CUF_LoadFromFile", not_yet, {{"self"}, {"Pms_IniFile", {}, "str"}}, "bool",
    " 需求功能：載入前次的 Register 內容 "};
}
