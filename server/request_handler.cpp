#include "server/stub.hpp"
namespace holdbank {
const host::MethodDef kHandle{"handle", not_yet, {{"self"}}};
}
