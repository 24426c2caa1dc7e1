// Each shipped binary carries the project's version where Windows' file properties (and a support
// engineer) read it, and corvidctl --version says the same.
#include <windows.h>

#include <gtest/gtest.h>

#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "common/utf.h"
#include "corvid_version.h"
#include "host_support.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using test::ProgramResult;
using namespace test::exit_status;

// "a.b.c" as numbers.
std::vector<unsigned> version_numbers(std::string_view text) {
  std::vector<unsigned> numbers;
  while (!text.empty()) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    EXPECT_EQ(ec, std::errc()) << text;
    numbers.push_back(value);
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    if (!text.empty())
      text.remove_prefix(1);  // the dot
  }
  return numbers;
}

struct VersionInfo {
  std::vector<BYTE> data;

  std::optional<VS_FIXEDFILEINFO> fixed() {
    void* value = nullptr;
    UINT size = 0;
    if (!VerQueryValueW(data.data(), L"\\", &value, &size) || size < sizeof(VS_FIXEDFILEINFO))
      return std::nullopt;
    return *static_cast<VS_FIXEDFILEINFO*>(value);
  }
  std::optional<std::string> text(const wchar_t* name) {
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT size = 0;
    if (!VerQueryValueW(data.data(), key.c_str(), &value, &size))
      return std::nullopt;
    return from_wide(static_cast<const wchar_t*>(value));
  }
};

std::optional<VersionInfo> read_version_info(const std::string& path) {
  const std::wstring wide = to_wide(path);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(wide.c_str(), &ignored);
  if (size == 0)
    return std::nullopt;
  VersionInfo info{std::vector<BYTE>(size)};
  if (!GetFileVersionInfoW(wide.c_str(), 0, size, info.data.data()))
    return std::nullopt;
  return info;
}

TEST(VersionResource, EveryBinaryCarriesTheProjectsVersionAndName) {
  const std::vector<unsigned> numbers = version_numbers(kVersion);
  ASSERT_EQ(numbers.size(), 3u) << kVersion;
  struct Binary {
    const char* file;
    DWORD type;
  };
  for (const Binary binary :
       {Binary{"corvid_helper_service.exe", VFT_APP}, Binary{"corvidctl.exe", VFT_APP},
        Binary{"portwell_plugin.dll", VFT_DLL}}) {
    SCOPED_TRACE(binary.file);
    std::optional<VersionInfo> info = read_version_info(test::built_program(binary.file));
    ASSERT_TRUE(info) << "no version resource: " << GetLastError();
    const std::optional<VS_FIXEDFILEINFO> fixed = info->fixed();
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileType, binary.type);
    for (const auto& [most, least] :
         {std::pair{fixed->dwFileVersionMS, fixed->dwFileVersionLS},
          std::pair{fixed->dwProductVersionMS, fixed->dwProductVersionLS}}) {
      EXPECT_EQ(unsigned{HIWORD(most)}, numbers[0]);
      EXPECT_EQ(unsigned{LOWORD(most)}, numbers[1]);
      EXPECT_EQ(unsigned{HIWORD(least)}, numbers[2]);
      EXPECT_EQ(unsigned{LOWORD(least)}, 0u);
    }
    EXPECT_EQ(info->text(L"FileVersion"), kVersion);
    EXPECT_EQ(info->text(L"ProductVersion"), kVersion);
    EXPECT_EQ(info->text(L"ProductName"), kProductName);
    EXPECT_EQ(info->text(L"OriginalFilename"), binary.file);
    const std::optional<std::string> description = info->text(L"FileDescription");
    ASSERT_TRUE(description);
    EXPECT_NE(description->find(kProductName), std::string::npos) << *description;
  }
}

TEST(VersionResource, CorvidctlPrintsTheSameVersion) {
  for (const char* flag : {"--version", "version"}) {
    const ProgramResult result = test::corvidctl({flag});
    EXPECT_EQ(result.exit_code, kOk) << result.err;
    EXPECT_EQ(result.out, std::string("corvidctl ") + kVersion + "\n");
    EXPECT_EQ(result.err, "");
  }
  const ProgramResult extra = test::corvidctl({"--version", "ping"});
  EXPECT_EQ(extra.exit_code, kUsage);
  EXPECT_EQ(extra.out, "");
}

}  // namespace
}  // namespace corvid
