# Cross build of the Windows executables with Clang 19 against the MinGW-w64 headers and
# libraries: a second front end, so code that only GCC accepts fails here before MSVC sees it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang-19)
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# std::thread sits on winpthreads; linked statically, all of it must come in, or its
# constructors are dropped and the first thread fails.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--whole-archive -lwinpthread -Wl,--no-whole-archive")
# Clang's MinGW driver, unlike GCC's, adds no winpthread after libstdc++ and libgcc_eh, which
# need it (a DLL gets it from here alone).
set(CMAKE_C_STANDARD_LIBRARIES_INIT "-lwinpthread")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-lwinpthread")
# Tests run under Wine through a wrapper that owns a private prefix in the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
