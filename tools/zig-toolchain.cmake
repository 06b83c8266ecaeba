# Cross toolchain for the wheels: zig's clang, which carries glibc and musl for every Linux
# target and links libc++ statically, so one x86_64 machine reaches every Linux wheel tag.
#   -DCMAKE_TOOLCHAIN_FILE=tools/zig-toolchain.cmake with ZIG_TARGET (x86_64-linux-gnu.2.17,
#   aarch64-linux-gnu.2.17, x86_64-linux-musl, ...) and ZIG_PYTHON (an interpreter with the
#   `ziglang` package) in the environment.
if(NOT DEFINED ENV{ZIG_TARGET} OR NOT DEFINED ENV{ZIG_PYTHON})
  message(FATAL_ERROR "zig-toolchain.cmake needs ZIG_TARGET and ZIG_PYTHON in the environment")
endif()
string(REGEX MATCH "^[^-]+" _zig_arch "$ENV{ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${_zig_arch})

set(_zig_tools ${CMAKE_CURRENT_LIST_DIR}/zig)
set(CMAKE_C_COMPILER ${_zig_tools}/cc)
set(CMAKE_CXX_COMPILER ${_zig_tools}/c++)
set(CMAKE_AR ${_zig_tools}/ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${_zig_tools}/ranlib CACHE FILEPATH "" FORCE)

# The Python headers are this machine's (the limited API's declarations are the same on every
# Linux target); nothing else may come from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# zig's objcopy cannot strip in place, so optimized modules are stripped when linked
# (build with install.strip=false).
foreach(config RELEASE MINSIZEREL)
  set(CMAKE_MODULE_LINKER_FLAGS_${config}_INIT "-s")
endforeach()
