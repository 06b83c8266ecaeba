// Linked into each module of the wheels (with -Wl,--wrap=__cxa_rethrow): `throw;` of what a
// catch (...) caught goes on as the unwind it was when that is a forced unwind.
//
// At interpreter exit CPython ends a daemon thread that takes the interpreter lock back with
// pthread_exit, a forced unwind run by the system's libgcc_s. The host layer's catch-alls let it
// through with `throw;`. The GCC runtime continues it (_Unwind_Resume_or_Rethrow); libc++abi
// starts a new throw of it, which no handler takes, and ends the process in std::terminate.
#include <unwind.h>

#include "cxa_exception.h"  // libc++abi's own, from zig's sources: the layout it keeps

using namespace __cxxabiv1;

extern "C" [[noreturn]] void __real___cxa_rethrow();

extern "C" [[noreturn]] void __wrap___cxa_rethrow() {
  __cxa_eh_globals* globals = __cxa_get_globals();
  __cxa_exception* caught = globals->caughtExceptions;
  if (caught != nullptr && !__isOurExceptionClass(&caught->unwindHeader)) {
    // As libc++abi's own rethrow of a foreign exception does, so __cxa_end_catch keeps it.
    globals->caughtExceptions = nullptr;
    _Unwind_Resume_or_Rethrow(&caught->unwindHeader);
  }
  __real___cxa_rethrow();
}
