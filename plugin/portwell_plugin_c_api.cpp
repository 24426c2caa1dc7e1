#include "include/portwell/portwell_plugin_c_api.h"

#include <flutter/plugin_registrar_windows.h>

#include "portwell_plugin.h"

void PortwellPluginCApiRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar) {
  portwell::PortwellPlugin::RegisterWithRegistrar(
      flutter::PluginRegistrarManager::GetInstance()->GetRegistrar<flutter::PluginRegistrarWindows>(
          registrar));
}
