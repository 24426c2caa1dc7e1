#include <flutter/plugin_registrar.h>

#include <flutter_plugin_registrar.h>

#include <memory>
#include <utility>

#include "binary_messenger_impl.h"

namespace flutter {

PluginRegistrar::PluginRegistrar(FlutterDesktopPluginRegistrarRef core_registrar)
    : registrar_(core_registrar),
      messenger_(std::make_unique<BinaryMessengerImpl>(
          FlutterDesktopPluginRegistrarGetMessenger(core_registrar))) {}

PluginRegistrar::~PluginRegistrar() {
  // Plugins may still use the messenger while they go, so they go first.
  ClearPlugins();
  messenger_.reset();
}

void PluginRegistrar::AddPlugin(std::unique_ptr<Plugin> plugin) {
  plugins_.insert(std::move(plugin));
}

void PluginRegistrar::ClearPlugins() {
  plugins_.clear();
}

PluginRegistrarManager::PluginRegistrarManager() = default;

PluginRegistrarManager* PluginRegistrarManager::GetInstance() {
  // Never destroyed: at process exit the engine its registrars point into may be gone already.
  static PluginRegistrarManager* instance = new PluginRegistrarManager();
  return instance;
}

void PluginRegistrarManager::OnRegistrarDestroyed(FlutterDesktopPluginRegistrarRef registrar) {
  GetInstance()->registrars_.erase(registrar);
}

}  // namespace flutter
