#ifndef FLUTTER_PLUGIN_PORTWELL_PLUGIN_H_
#define FLUTTER_PLUGIN_PORTWELL_PLUGIN_H_

#include <flutter/encodable_value.h>
#include <flutter/method_call.h>
#include <flutter/method_result.h>
#include <flutter/plugin_registrar_windows.h>

#include <memory>

namespace portwell {

// Answers "getPlatformVersion" on the "portwell" channel. Stateless; owned by the registrar.
class PortwellPlugin : public flutter::Plugin {
 public:
  static void RegisterWithRegistrar(flutter::PluginRegistrarWindows* registrar);

  PortwellPlugin();

  ~PortwellPlugin() override;

  PortwellPlugin(const PortwellPlugin&) = delete;
  PortwellPlugin& operator=(const PortwellPlugin&) = delete;

  // Answers every call exactly once; the arguments are never looked at.
  void HandleMethodCall(const flutter::MethodCall<flutter::EncodableValue>& method_call,
                        std::unique_ptr<flutter::MethodResult<flutter::EncodableValue>> result);
};

}  // namespace portwell

#endif  // FLUTTER_PLUGIN_PORTWELL_PLUGIN_H_
