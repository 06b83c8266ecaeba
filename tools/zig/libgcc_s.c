/* A stand-in for the system's libgcc_s.so.1 to link the wheels' modules against (zig carries no
   libgcc_s): the modules then take their unwinder from the system, the one glibc's pthread_exit
   uses, instead of zig's own, which cannot step through an unwind libgcc_s began. Only the
   names and versions matter; the bodies never run. */
#define STUB(name) void name(void) {}
STUB(_Unwind_Resume)
STUB(_Unwind_GetLanguageSpecificData)
STUB(_Unwind_GetRegionStart)
STUB(_Unwind_SetIP)
STUB(_Unwind_GetIP)
STUB(_Unwind_GetGR)
STUB(_Unwind_SetGR)
STUB(_Unwind_DeleteException)
STUB(_Unwind_RaiseException)
STUB(_Unwind_ForcedUnwind)
STUB(_Unwind_Resume_or_Rethrow)
STUB(_Unwind_Backtrace)
STUB(_Unwind_GetCFA)
STUB(_Unwind_GetIPInfo)
