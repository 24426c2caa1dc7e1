# Cross build of the Windows executables with Clang 19 against the MinGW-w64 headers and
# libraries: a second front end, so code that only GCC accepts fails here before MSVC sees it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang-19)
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# The export check reads GNU objdump's layout.
set(CMAKE_OBJDUMP x86_64-w64-mingw32-objdump CACHE FILEPATH "")
# MinGW's GCC-built libstdc++ keeps its thread-locals (std::call_once's) in emulated TLS; Clang
# must reach them the same way.
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# libstdc++ and libgcc_eh sit on winpthreads, which Clang's MinGW driver names only for -pthread
# (then inside the group of system libraries that -static links). Not --whole-archive: that
# would bring in winpthread's own version resource, which Windows then shows for our binaries.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-pthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-pthread")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-pthread")
# Tests run under Wine through a wrapper that owns a private prefix in the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
