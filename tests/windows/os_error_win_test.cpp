// OS error texts against what FormatMessageW itself returns on this system.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/os_error.h"
#include "common/utf.h"
#include "test_support_win.h"

namespace corvid {
namespace {

constexpr DWORD kLookupFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

struct Lookup {
  std::optional<std::wstring> text;
  DWORD error = 0;  // GetLastError when there is no text
};

Lookup format_message(DWORD flags, HMODULE module, DWORD code) {
  wchar_t buffer[2048];
  const DWORD length = FormatMessageW(flags, module, code, 0, buffer, 2048, nullptr);
  if (length == 0)
    return {std::nullopt, GetLastError()};
  return {std::wstring(buffer, length), 0};
}

std::string signed_decimal(std::uint32_t code) {
  return std::to_string(static_cast<std::int32_t>(code));
}

std::string trimmed_utf8(std::wstring text) {
  while (!text.empty() && (text.back() == L' ' || text.back() == L'\r' || text.back() == L'\n' ||
                           text.back() == L'\t')) {
    text.pop_back();
  }
  return from_wide(text);
}

TEST(OsErrorTextTest, IsTheSystemMessageWithoutTrailingWhiteSpace) {
  // 34 has inserts ("%1"), which must be left as they are.
  for (const DWORD code : {0u, 2u, 5u, 34u, 87u, 267u, 1060u, 1063u, 1073u}) {
    SCOPED_TRACE(code);
    const Lookup lookup = format_message(kLookupFlags, nullptr, code);
    ASSERT_TRUE(lookup.text.has_value()) << "no system message for " << code;
    const std::string message = trimmed_utf8(*lookup.text);
    ASSERT_FALSE(message.empty());
    const std::string text = os_error_text(code);
    EXPECT_EQ(text, message + " (os error " + std::to_string(code) + ")");
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  }
}

TEST(OsErrorTextTest, NtFacilityCodesAreLookedUpWithoutTheBitInNtdll) {
  constexpr std::uint32_t kFacilityNt = 0x10000000;
  const HMODULE ntdll = GetModuleHandleW(L"NTDLL.DLL");
  ASSERT_NE(ntdll, nullptr);
  // NTDLL's own table when it has one (Windows), else the system table (Wine has none).
  int found_only_without_the_bit = 0;
  for (const std::uint32_t status : {0xC0000005u, 0xC0000034u, 0x00000103u, 0x00000000u}) {
    SCOPED_TRACE(status);
    const std::uint32_t code = kFacilityNt | status;
    const std::string shown = signed_decimal(code);
    const Lookup lookup = format_message(kLookupFlags | FORMAT_MESSAGE_FROM_HMODULE, ntdll, status);
    if (lookup.text) {
      EXPECT_EQ(os_error_text(code), trimmed_utf8(*lookup.text) + " (os error " + shown + ")");
      if (!format_message(kLookupFlags, nullptr, code).text)
        ++found_only_without_the_bit;
    } else {
      EXPECT_EQ(os_error_text(code), "OS Error " + shown + " (FormatMessageW() returned error " +
                                         std::to_string(lookup.error) + ") (os error " + shown +
                                         ")");
    }
  }
  EXPECT_GT(found_only_without_the_bit, 0) << "no case tells the NT lookup from the plain one";
}

TEST(OsErrorTextTest, CodesWithoutAMessageNameTheLookupError) {
  struct Case {
    std::uint32_t code;
    HMODULE module;
    DWORD lookup_code;
  };
  const HMODULE ntdll = GetModuleHandleW(L"NTDLL.DLL");
  const std::vector<Case> cases = {
      {0x0000FFFF, nullptr, 0x0000FFFF},
      {0x2000ABCD, nullptr, 0x2000ABCD},
      {0xE0001234, nullptr, 0xE0001234},  // shown signed, as the OS error code is
      {0x1000FFFF, ntdll, 0x0000FFFF},    // NT facility, and NTDLL has no text either
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const DWORD flags = kLookupFlags | (c.module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : 0);
    const Lookup lookup = format_message(flags, c.module, c.lookup_code);
    ASSERT_FALSE(lookup.text.has_value()) << "the system has a message for " << c.code;
    ASSERT_NE(lookup.error, 0u);
    const std::string code = signed_decimal(c.code);
    EXPECT_EQ(os_error_text(c.code), "OS Error " + code + " (FormatMessageW() returned error " +
                                         std::to_string(lookup.error) + ") (os error " + code +
                                         ")");
  }
}

// The codes the other tests expect, with the texts Wine 8 gives them: what those tests compare
// with (test::os_error_for) is pinned here to the letter. Windows words them in the language of
// the machine, so there only the code in each text is known; the tests never look inside it.
TEST(OsErrorTextTest, TheErrorsTheTestsExpectReadAsWineWordsThem) {
  if (!test::running_under_wine())
    GTEST_SKIP() << "the texts are Wine 8's; Windows words them in the machine's language";
  struct Case {
    DWORD code;
    const char* text;
  };
  const Case cases[] = {
      {ERROR_PATH_NOT_FOUND, "Path not found. (os error 3)"},
      {ERROR_ACCESS_DENIED, "Access denied. (os error 5)"},
      {ERROR_INVALID_HANDLE, "Invalid handle. (os error 6)"},
      {ERROR_BAD_EXE_FORMAT, "Bad EXE format for %1. (os error 193)"},
      {ERROR_DIRECTORY, "Directory name invalid. (os error 267)"},
      {ERROR_SERVICE_DOES_NOT_EXIST, "Service does not exist. (os error 1060)"},
      {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
       "Service controller connect failed. (os error 1063)"},
      {ERROR_SERVICE_EXISTS, "Service exists. (os error 1073)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(os_error_text(c.code), c.text);
    EXPECT_EQ(test::os_error_for(c.code), c.text);
  }
}

TEST(OsErrorTextTest, WinapiErrorCarriesTheTextAsItsCause) {
  const Error error = winapi_error(ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(error.message, "IO error in winapi call");
  EXPECT_EQ(error.causes, std::vector<std::string>{test::os_error_for(1060)});
  EXPECT_EQ(detailed_text(error),
            "IO error in winapi call\n\nCaused by:\n    " + test::os_error_for(1060));
  EXPECT_EQ(error.os_code, 1060u);
}

// A failed call keeps its code beside its text, in either shape; a call that succeeded is no
// error whatever the last error says.
TEST(OsErrorTextTest, CheckWin32KeepsTheLastErrorsCode) {
  struct Case {
    DWORD code;
    Error (*as_error)(std::uint32_t);
    std::vector<std::string> texts;  // message, then causes
  };
  const Case cases[] = {
      {ERROR_ACCESS_DENIED, os_error, {test::os_error_for(ERROR_ACCESS_DENIED)}},
      {ERROR_INVALID_NAME, os_error, {test::os_error_for(ERROR_INVALID_NAME)}},
      {ERROR_SERVICE_DOES_NOT_EXIST,
       winapi_error,
       {"IO error in winapi call", test::os_error_for(ERROR_SERVICE_DOES_NOT_EXIST)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    SetLastError(c.code);
    EXPECT_TRUE(check_win32(TRUE, c.as_error).has_value());
    SetLastError(c.code);
    const Result<void> failed = check_win32(FALSE, c.as_error);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().os_code, c.code);
    std::vector<std::string> texts{failed.error().message};
    texts.insert(texts.end(), failed.error().causes.begin(), failed.error().causes.end());
    EXPECT_EQ(texts, c.texts);
  }
  // The call's own failure, read right after it: a missing file's open.
  const Result<void> opened = check_win32(
      GetFileAttributesW(L"C:\\no such directory\\no such file") != INVALID_FILE_ATTRIBUTES);
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().os_code, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(opened.error().message, test::os_error_for(ERROR_PATH_NOT_FOUND));
}

}  // namespace
}  // namespace corvid
