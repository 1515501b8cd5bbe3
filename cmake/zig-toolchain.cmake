# Zig as the C and C++ compiler of a wheel build (scripts/wheel.sh): it
# compiles against the glibc version named in the target, so the extension
# runs on every Linux with that glibc or a newer one, and it brings its own
# libc++, which is linked in statically and kept out of the exports.
#
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake
#   -DQUILLMERE_ZIG_BIN=DIR        wrapper scripts cc, c++, ar and ranlib that
#                                  run Zig for the target (scripts/wheel.sh
#                                  writes them)
#   -DQUILLMERE_ZIG_TARGET=TRIPLE  x86_64-linux-gnu.2.17, aarch64-linux-gnu.2.17
#
# A target of another processor than this machine's is a cross build: the
# target's libraries (PCRE2) come from Debian's multiarch folders, and the
# module cannot be imported here (see QUILLMERE_STUB in CMakeLists.txt).
if(NOT QUILLMERE_ZIG_BIN OR NOT QUILLMERE_ZIG_TARGET)
  message(FATAL_ERROR "zig-toolchain.cmake needs QUILLMERE_ZIG_BIN and QUILLMERE_ZIG_TARGET")
endif()
# The checks CMake compiles on its own (try_compile) load this file again.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLMERE_ZIG_BIN QUILLMERE_ZIG_TARGET)

string(REGEX MATCH "^[^-]+" _quillmere_zig_arch "${QUILLMERE_ZIG_TARGET}")
if(NOT _quillmere_zig_arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "${_quillmere_zig_arch}")
  set(CMAKE_LIBRARY_ARCHITECTURE "${_quillmere_zig_arch}-linux-gnu")
  # Programs are this machine's; libraries and headers the target's.
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
endif()

set(CMAKE_C_COMPILER "${QUILLMERE_ZIG_BIN}/cc")
set(CMAKE_CXX_COMPILER "${QUILLMERE_ZIG_BIN}/c++")
set(CMAKE_AR "${QUILLMERE_ZIG_BIN}/ar" CACHE FILEPATH "Zig's archiver" FORCE)
set(CMAKE_RANLIB "${QUILLMERE_ZIG_BIN}/ranlib" CACHE FILEPATH "Zig's ranlib" FORCE)

# nanobind's headers call fprintf(stderr, ...) without including <cstdio>:
# GCC's libstdc++ brings it in on the way, libc++ does not, nor does Python.h
# in a stable-ABI build.
#
# Zig keeps the frame pointer in every function (-mframe-pointer=all), which
# costs page analysis 10-15 % against GCC's -O3, which drops it:
# -fomit-frame-pointer drops it here too.
set(CMAKE_C_FLAGS_INIT "-fomit-frame-pointer")
set(CMAKE_CXX_FLAGS_INIT "-include cstdio -fomit-frame-pointer")

# Tells CMakeLists.txt that the C++ runtime is linked in: the extension then
# exports its module entry point and nothing else.
set(QUILLMERE_STATIC_CXX_RUNTIME ON CACHE BOOL "The C++ runtime is linked into the extension" FORCE)
