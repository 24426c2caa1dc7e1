#pragma once
// The owners of the Windows resources the project uses: kernel handles, Service Control Manager
// handles and memory the system hands out with LocalAlloc.

#include <windows.h>

#include "common/unique_handle.h"

namespace corvid {

// Closing never changes the GetLastError a caller is about to read.
struct KeepsWin32LastError {
  static DWORD save_error() noexcept { return GetLastError(); }
  static void restore_error(DWORD error) noexcept { SetLastError(error); }
};

// Kernel objects: files, pipes, processes, threads, events, tokens, jobs, snapshots. Windows
// has two "no handle" values: null (most functions) and INVALID_HANDLE_VALUE (CreateFileW,
// CreateNamedPipeW, CreateToolhelp32Snapshot).
struct KernelHandleTraits : KeepsWin32LastError {
  using Type = HANDLE;
  static Type null() noexcept { return nullptr; }
  static bool valid(Type handle) noexcept {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  }
  static void close(Type handle) noexcept { CloseHandle(handle); }
};
using WinHandle = UniqueHandle<KernelHandleTraits>;

struct ScHandleTraits : KeepsWin32LastError {
  using Type = SC_HANDLE;
  static Type null() noexcept { return nullptr; }
  static bool valid(Type handle) noexcept { return handle != nullptr; }
  static void close(Type handle) noexcept { CloseServiceHandle(handle); }
};
using ScHandle = UniqueHandle<ScHandleTraits>;

// Memory to be freed with LocalFree: converted security descriptors, SID strings, the argument
// vector of CommandLineToArgvW, FormatMessageW's buffers.
template <class Pointer>
struct LocalMemoryTraits : KeepsWin32LastError {
  using Type = Pointer;
  static Type null() noexcept { return nullptr; }
  static bool valid(Type memory) noexcept { return memory != nullptr; }
  static void close(Type memory) noexcept { LocalFree(reinterpret_cast<HLOCAL>(memory)); }
};
template <class Pointer>
using LocalMemory = UniqueHandle<LocalMemoryTraits<Pointer>>;

static_assert(KeepsLastError<KernelHandleTraits> && KeepsLastError<ScHandleTraits> &&
              KeepsLastError<LocalMemoryTraits<void*>>);

}  // namespace corvid
