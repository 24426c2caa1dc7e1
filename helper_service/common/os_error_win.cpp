#include "common/os_error.h"

#include <windows.h>

#include <string>

#include "common/utf.h"

namespace corvid {

namespace {

constexpr DWORD kFacilityNtBit = 0x10000000;

bool is_valid_utf16(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
        return false;
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

std::string system_message(DWORD code) {
  // Codes with the NT facility bit come from NTDLL's message table.
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE module = nullptr;
  DWORD lookup = code;
  if ((code & kFacilityNtBit) != 0) {
    module = GetModuleHandleW(L"NTDLL.DLL");
    if (module != nullptr) {
      lookup ^= kFacilityNtBit;
      flags |= FORMAT_MESSAGE_FROM_HMODULE;
    }
  }
  wchar_t buffer[2048];
  const DWORD length = FormatMessageW(flags, module, lookup, 0, buffer, 2048, nullptr);
  // The fallback names the code that was asked about, as the "(os error N)" after it does.
  const std::int32_t shown = static_cast<std::int32_t>(code);
  if (length == 0) {
    const DWORD lookup_error = GetLastError();
    return "OS Error " + std::to_string(shown) + " (FormatMessageW() returned error " +
           std::to_string(static_cast<int>(lookup_error)) + ")";
  }
  std::u16string_view text(reinterpret_cast<const char16_t*>(buffer), length);
  if (!is_valid_utf16(text)) {
    return "OS Error " + std::to_string(shown) + " (FormatMessageW() returned invalid UTF-16)";
  }
  // Every white-space character is in the Basic Multilingual Plane: one UTF-16 unit.
  while (!text.empty() && is_unicode_white_space(text.back()))
    text.remove_suffix(1);
  return utf16_to_utf8(text);
}

}  // namespace

std::string os_error_text(std::uint32_t code) {
  return system_message(code) + " (os error " + std::to_string(static_cast<std::int32_t>(code)) +
         ")";
}

Error os_error(std::uint32_t code) {
  Error error(os_error_text(code));
  error.os_code = code;
  return error;
}

Error winapi_error(std::uint32_t code) {
  return context("IO error in winapi call", os_error(code));
}

Error last_os_error() {
  return os_error(GetLastError());
}

Error last_os_error(std::string what) {
  return context(std::move(what), os_error(GetLastError()));
}

std::string last_os_error_text() {
  return os_error_text(GetLastError());
}

Result<void> check_win32(int succeeded, Error (*as_error)(std::uint32_t)) {
  if (succeeded)
    return {};
  return std::unexpected(as_error(GetLastError()));
}

}  // namespace corvid
