#pragma once
// The product's fixed names, each said once: the service, and the files the helper and the core
// keep in the install directory. The helper, corvidctl and the tests all take them from here.

#include <string_view>

namespace corvid {

// Spelled once, in both widths: the Service Control Manager takes UTF-16, messages UTF-8.
#define CORVID_SERVICE_NAME_TEXT "corvid-helper"
#define CORVID_SERVICE_DISPLAY_NAME_TEXT "CorvidHelper Service"

inline constexpr wchar_t kServiceName[] = L"" CORVID_SERVICE_NAME_TEXT;
inline constexpr std::string_view kServiceNameUtf8 = CORVID_SERVICE_NAME_TEXT;
inline constexpr wchar_t kServiceDisplayName[] = L"" CORVID_SERVICE_DISPLAY_NAME_TEXT;

#undef CORVID_SERVICE_NAME_TEXT
#undef CORVID_SERVICE_DISPLAY_NAME_TEXT

// The helper's executable, and its client beside it.
inline constexpr std::string_view kHelperFileName = "corvid_helper_service.exe";
inline constexpr std::string_view kCorvidctlFileName = "corvidctl.exe";

// The core's file name: the default core in the working directory, and the only core a standard
// user may start, in the install directory.
inline constexpr std::string_view kCoreFileName = "clash-rs.exe";
// The core's configuration and log, relative to its working directory by default.
inline constexpr std::string_view kCoreConfigFileName = "config.json";
inline constexpr std::string_view kCoreLogFileName = "log\\clash.log";

// The helper log in the install directory, and what the full log is renamed to, after its name.
inline constexpr std::string_view kLogFileName = "corvid-helper.log";
inline constexpr std::string_view kRotatedLogSuffix = ".1";

}  // namespace corvid
