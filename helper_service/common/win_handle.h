#pragma once
// The owners of the Windows resources the project uses: kernel handles, Service Control Manager
// handles and memory the system hands out with LocalAlloc.

#include <windows.h>

#include "common/unique_handle.h"

namespace corvid {

// Kernel objects: files, pipes, processes, threads, events, tokens, jobs, snapshots. Windows
// has two "no handle" values: null (most functions) and INVALID_HANDLE_VALUE (CreateFileW,
// CreateNamedPipeW, CreateToolhelp32Snapshot).
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type null() noexcept { return nullptr; }
  static bool valid(Type handle) noexcept {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  }
  static void close(Type handle) noexcept { CloseHandle(handle); }
};
using WinHandle = UniqueHandle<KernelHandleTraits>;

struct ScHandleTraits {
  using Type = SC_HANDLE;
  static Type null() noexcept { return nullptr; }
  static bool valid(Type handle) noexcept { return handle != nullptr; }
  static void close(Type handle) noexcept { CloseServiceHandle(handle); }
};
using ScHandle = UniqueHandle<ScHandleTraits>;

// Memory to be freed with LocalFree: converted security descriptors, SID strings, the argument
// vector of CommandLineToArgvW, FormatMessageW's buffers.
template <class Pointer>
struct LocalMemoryTraits {
  using Type = Pointer;
  static Type null() noexcept { return nullptr; }
  static bool valid(Type memory) noexcept { return memory != nullptr; }
  static void close(Type memory) noexcept { LocalFree(reinterpret_cast<HLOCAL>(memory)); }
};
template <class Pointer>
using LocalMemory = UniqueHandle<LocalMemoryTraits<Pointer>>;

}  // namespace corvid
