#include "portwell_plugin.h"

#include <windows.h>

#include <flutter/method_channel.h>
#include <flutter/plugin_registrar_windows.h>
#include <flutter/standard_method_codec.h>

#include <memory>
#include <string>
#include <utility>

namespace portwell {

namespace {

static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW has the Windows layout");

// What Windows reports here depends on the running program's manifest: without the supportedOS
// entries of Windows 8.1 and 10, Windows 10 passes itself off as 6.2. Flutter runners carry them.
bool IsVersionOrGreater(DWORD major, DWORD minor, WORD service_pack_major) {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  info.dwMajorVersion = major;
  info.dwMinorVersion = minor;
  info.wServicePackMajor = service_pack_major;
  DWORDLONG condition = 0;
  condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
  condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
  condition = VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                            condition) != FALSE;
}

std::string PlatformVersionText() {
  std::string text = "Windows ";
  if (IsVersionOrGreater(10, 0, 0)) {
    text += "10+";
  } else if (IsVersionOrGreater(6, 2, 0)) {
    text += "8";
  } else if (IsVersionOrGreater(6, 1, 0)) {
    text += "7";
  }
  return text;
}

}  // namespace

void PortwellPlugin::RegisterWithRegistrar(flutter::PluginRegistrarWindows* registrar) {
  auto channel = std::make_unique<flutter::MethodChannel<flutter::EncodableValue>>(
      registrar->messenger(), "portwell", &flutter::StandardMethodCodec::GetInstance());

  auto plugin = std::make_unique<PortwellPlugin>();

  // The registrar owns the plugin for as long as the handler can be called.
  channel->SetMethodCallHandler([plugin_pointer = plugin.get()](const auto& call, auto result) {
    plugin_pointer->HandleMethodCall(call, std::move(result));
  });

  registrar->AddPlugin(std::move(plugin));
}

PortwellPlugin::PortwellPlugin() {}

PortwellPlugin::~PortwellPlugin() {}

void PortwellPlugin::HandleMethodCall(
    const flutter::MethodCall<flutter::EncodableValue>& method_call,
    std::unique_ptr<flutter::MethodResult<flutter::EncodableValue>> result) {
  if (method_call.method_name() == "getPlatformVersion") {
    result->Success(flutter::EncodableValue(PlatformVersionText()));
  } else {
    result->NotImplemented();
  }
}

}  // namespace portwell
