#ifndef FLUTTER_STANDIN_PLUGIN_REGISTRAR_WINDOWS_H_
#define FLUTTER_STANDIN_PLUGIN_REGISTRAR_WINDOWS_H_

#include <flutter_windows.h>

#include "plugin_registrar.h"

namespace flutter {

// The registrar that Windows plugins register with. The stand-in embedding has no views, so
// only the platform-independent part is here.
class PluginRegistrarWindows : public PluginRegistrar {
 public:
  explicit PluginRegistrarWindows(FlutterDesktopPluginRegistrarRef core_registrar)
      : PluginRegistrar(core_registrar) {}

  ~PluginRegistrarWindows() override {
    // Plugins go first, before anything of this class they might still reach.
    ClearPlugins();
  }

  PluginRegistrarWindows(PluginRegistrarWindows const&) = delete;
  PluginRegistrarWindows& operator=(PluginRegistrarWindows const&) = delete;
};

}  // namespace flutter

#endif  // FLUTTER_STANDIN_PLUGIN_REGISTRAR_WINDOWS_H_
