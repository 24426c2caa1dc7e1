#include "test_support_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include <nlohmann/json.hpp>

#include <sddl.h>

#include "common/cmdline.h"
#include "common/module_path.h"
#include "common/sids.h"
#include "common/sids_win.h"
#include "common/utf.h"
#include "common/io_win.h"

namespace corvid::test {

namespace {

bool starts_with_ignoring_case(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() &&
         CompareStringOrdinal(text.data(), static_cast<int>(prefix.size()), prefix.data(),
                              static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

// Ends stand-in cores that a failed test left running from `dir`, so nothing outlives it.
void end_recorded_cores(const std::string& dir) {
  const std::wstring prefix = to_wide(dir) + L"\\";
  for (const CoreRun& run : read_core_runs(dir)) {
    WinHandle process(OpenProcess(
        PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, run.pid));
    if (!process.valid())
      continue;
    wchar_t image[MAX_PATH * 4];
    DWORD size = MAX_PATH * 4;
    if (!QueryFullProcessImageNameW(process.get(), 0, image, &size))
      continue;
    if (!starts_with_ignoring_case(std::wstring(image, size), prefix))
      continue;
    if (WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process.get(), 1);
      WaitForSingleObject(process.get(), 10000);
    }
  }
}

// The access list of a test's folder. The helper's install judgement trusts LocalSystem and
// Administrators alone, and an elevated run's objects are owned by Administrators: with an
// explicit, protected list its folders pass on any volume, whatever the temporary directory hands
// down. The running user keeps read and execute there, or full control when not elevated (its
// folders are its own then, and no install from them can pass anyway).
std::wstring folder_sddl() {
  std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  WinHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
    return sddl;
  const Result<std::string> user = token_user_sid(token.get());
  const bool elevated = token_owner_sid(token.get()).value_or("") == kAdministratorsSid;
  if (user)
    sddl +=
        L"(A;OICI;" + std::wstring(elevated ? L"0x1200a9" : L"FA") + L";;;" + to_wide(*user) + L")";
  return sddl;
}

// Wine stores no descriptor for a file or folder: there the folder is made as without one.
bool make_test_folder(const std::string& path) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(folder_sddl().c_str(), SDDL_REVISION_1,
                                                            &raw, nullptr))
    return false;
  const LocalMemory<PSECURITY_DESCRIPTOR> descriptor(raw);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
  return CreateDirectoryW(to_wide(path).c_str(), &attributes) != 0;
}

bool remove_tree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..")
        continue;
      const std::wstring child = path + L"\\" + name;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        remove_tree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  return RemoveDirectoryW(path.c_str()) != 0;
}

void read_all(HANDLE pipe, std::string& out) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got != 0)
    out.append(buffer, got);
}

}  // namespace

std::string test_exe_dir() {
  const std::string path = running_executable_path().value_or(std::string());
  return path.substr(0, path.find_last_of("\\/"));
}

std::string built_program(std::string_view file_name) {
  return test_exe_dir() + "\\" + std::string(file_name);
}

TempDir::TempDir(std::string_view label) {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  std::string base = from_wide(std::wstring_view(temp, length));
  if (!base.empty() && base.back() == '\\')
    base.pop_back();
  for (;;) {
    path_ = base + "\\" + std::string(label) + " " + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(GetTickCount64()) + "-" + std::to_string(counter++);
    if (make_test_folder(path_))
      break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      path_.clear();
      break;
    }
  }
}

TempDir::~TempDir() {
  if (path_.empty())
    return;
  end_recorded_cores(path_);
  const std::wstring wide = to_wide(path_);
  // A process that just ended can hold its image a moment longer.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (remove_tree(wide))
      return;
    Sleep(100);
  }
  ADD_FAILURE() << "left behind: " << path_;
}

std::string TempDir::operator/(std::string_view name) const {
  return path_ + "\\" + std::string(name);
}

std::optional<std::string> read_file(const std::string& path) {
  Result<std::string> bytes = corvid::read_file(path);
  if (!bytes)
    return std::nullopt;
  return std::move(*bytes);
}

bool write_file(const std::string& path, std::string_view bytes) {
  WinHandle file(CreateFileW(to_wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid())
    return false;
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool make_directory(const std::string& path) {
  return CreateDirectoryW(to_wide(path).c_str(), nullptr) != 0;
}

bool is_file(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(to_wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool is_directory(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(to_wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string install_fake_core(const std::string& dir) {
  const std::string target = dir + "\\clash-rs.exe";
  if (!CopyFileW(to_wide(built_program("corvid_fake_core.exe")).c_str(), to_wide(target).c_str(),
                 FALSE)) {
    return {};
  }
  return target;
}

std::vector<CoreRun> read_core_runs(const std::string& core_dir) {
  std::vector<CoreRun> runs;
  const std::optional<std::string> text = read_file(core_dir + "\\fake-core-runs.log");
  if (!text)
    return runs;
  for (const std::string& line : split_lines(*text)) {
    // A line still being written is not a run yet.
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    if (record.is_discarded() || !record.is_object())
      continue;
    CoreRun run;
    run.pid = record.value("pid", 0u);
    run.cwd = record.value("cwd", std::string());
    run.command_line = record.value("command_line", std::string());
    run.argv = record.value("argv", std::vector<std::string>());
    runs.push_back(std::move(run));
  }
  return runs;
}

std::vector<CoreRun> wait_for_core_runs(const std::string& core_dir, std::size_t count,
                                        std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::vector<CoreRun> runs = read_core_runs(core_dir);
    if (runs.size() >= count || std::chrono::steady_clock::now() >= deadline)
      return runs;
    Sleep(20);
  }
}

WinHandle open_process(std::uint32_t pid) {
  return WinHandle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
}

std::optional<DWORD> wait_exit_code(HANDLE process, std::chrono::milliseconds timeout) {
  if (WaitForSingleObject(process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code))
    return std::nullopt;
  return code;
}

std::uint64_t filetime_now() {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::string local_time(std::uint64_t intervals) {
  FILETIME file_time{static_cast<DWORD>(intervals & 0xFFFFFFFFu),
                     static_cast<DWORD>(intervals >> 32)};
  SYSTEMTIME utc{};
  SYSTEMTIME local{};
  FILETIME local_file_time{};
  EXPECT_TRUE(FileTimeToSystemTime(&file_time, &utc));
  EXPECT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
  EXPECT_TRUE(SystemTimeToFileTime(&local, &local_file_time));
  // The zone's offset at that instant: the local count less the UTC one, in whole minutes.
  const long long offset =
      (static_cast<long long>((static_cast<std::uint64_t>(local_file_time.dwHighDateTime) << 32) |
                              local_file_time.dwLowDateTime) -
       static_cast<long long>(intervals / 10000 * 10000)) /
      600000000;
  const long long minutes = offset < 0 ? -offset : offset;
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u %c%02lld:%02lld",
                unsigned{local.wYear}, unsigned{local.wMonth}, unsigned{local.wDay},
                unsigned{local.wHour}, unsigned{local.wMinute}, unsigned{local.wSecond},
                unsigned{local.wMilliseconds}, offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return text;
}

bool running_under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string os_error_for(DWORD code) {
  wchar_t buffer[2048];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, buffer, 2048, nullptr);
  while (length > 0 && (buffer[length - 1] == L' ' || buffer[length - 1] == L'\t' ||
                        buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n')) {
    --length;
  }
  if (length == 0)
    return {};
  return from_wide(std::wstring_view(buffer, length)) + " (os error " + std::to_string(code) + ")";
}

std::expected<PROCESS_INFORMATION, std::string> start_program(const std::string& program,
                                                              const std::vector<std::string>& args,
                                                              HANDLE out, HANDLE err,
                                                              DWORD creation_flags) {
  const std::wstring command_line = to_wide(build_command_line(program, args));
  std::vector<wchar_t> writable(command_line.begin(), command_line.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION info{};
  // Wine now and then answers ERROR_INTERNAL_ERROR when several programs start at once on a
  // loaded machine (seen once in ten full runs, never alone); a program that cannot start fails
  // the same way every time, so a third refusal is reported.
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessW(to_wide(program).c_str(), writable.data(), nullptr, nullptr, TRUE,
                       creation_flags, nullptr, nullptr, &startup, &info))
      return info;
    const DWORD error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == 3 || !running_under_wine())
      return std::unexpected("CreateProcessW failed: " + std::to_string(error));
    Sleep(200);
  }
}

ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          std::chrono::milliseconds timeout) {
  ProgramResult result;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
  if (!CreatePipe(&out_read, &out_write, &inheritable, 0) ||
      !CreatePipe(&err_read, &err_write, &inheritable, 0)) {
    result.start_error = "CreatePipe failed";
    return result;
  }
  WinHandle out_reader(out_read), out_writer(out_write), err_reader(err_read),
      err_writer(err_write);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);

  std::expected<PROCESS_INFORMATION, std::string> info =
      start_program(program, args, out_write, err_write);
  if (!info) {
    result.start_error = info.error();
    return result;
  }
  result.started = true;
  WinHandle process(info->hProcess), thread(info->hThread);
  out_writer.reset();
  err_writer.reset();

  std::thread out_thread([&] { read_all(out_read, result.out); });
  std::thread err_thread([&] { read_all(err_read, result.err); });
  if (WaitForSingleObject(process.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 0xDEAD);
    WaitForSingleObject(process.get(), INFINITE);
  }
  out_thread.join();
  err_thread.join();
  GetExitCodeProcess(process.get(), &result.exit_code);
  return result;
}

std::vector<LogEntry> parse_log(std::string_view text) {
  static constexpr std::string_view kOpen = "[SystemTime { intervals: ";
  static constexpr std::string_view kClose = " }] ";
  std::vector<LogEntry> entries;
  for (const std::string& line : split_lines(text)) {
    std::size_t digits_end = kOpen.size();
    if (line.starts_with(kOpen)) {
      while (digits_end < line.size() && line[digits_end] >= '0' && line[digits_end] <= '9')
        ++digits_end;
    }
    if (digits_end > kOpen.size() && line.compare(digits_end, kClose.size(), kClose) == 0) {
      LogEntry entry;
      entry.intervals = std::stoull(line.substr(kOpen.size(), digits_end - kOpen.size()));
      entry.message = line.substr(digits_end + kClose.size());
      entries.push_back(std::move(entry));
    } else if (!entries.empty()) {
      entries.back().message += "\n" + line;
    }
  }
  return entries;
}

std::vector<LogEntry> read_log(const std::string& path) {
  return parse_log(read_file(path).value_or(std::string()));
}

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos)
      break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

void ScaledSleeps::sleep_for(std::chrono::milliseconds duration) {
  std::function<void(std::size_t)> hook;
  std::size_t count = 0;
  {
    std::lock_guard guard(mutex_);
    sleeps_.push_back(duration);
    count = sleeps_.size();
    hook = hook_;
  }
  began_.notify_all();
  if (hook)
    hook(count);
  os_->sleep_for(duration / kScale);
}

std::vector<std::chrono::milliseconds> ScaledSleeps::sleeps() const {
  std::lock_guard guard(mutex_);
  return sleeps_;
}

bool ScaledSleeps::wait_for_sleeps(std::size_t count, std::chrono::milliseconds wait) const {
  std::unique_lock lock(mutex_);
  return began_.wait_for(lock, wait, [&] { return sleeps_.size() >= count; });
}

void ScaledSleeps::on_sleep(std::function<void(std::size_t)> hook) {
  std::lock_guard guard(mutex_);
  hook_ = std::move(hook);
}

}  // namespace corvid::test
