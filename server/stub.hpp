#pragma once
#include "server/holdbank.hpp"
namespace holdbank {
inline host::Ref not_yet(const host::Args&) { host::raise(PyExc_NotImplementedError, "not yet"); }
}
