#ifndef FLUTTER_STANDIN_PLUGIN_REGISTRAR_H_
#define FLUTTER_STANDIN_PLUGIN_REGISTRAR_H_

#include <flutter_plugin_registrar.h>

#include <map>
#include <memory>
#include <set>

#include "binary_messenger.h"

namespace flutter {

// Base of every plugin object; the registrar owns plugins through this.
class Plugin {
 public:
  virtual ~Plugin() = default;
};

// Wraps the engine's registrar handle: gives plugins a messenger and keeps them alive for as
// long as the engine keeps the registrar.
class PluginRegistrar {
 public:
  explicit PluginRegistrar(FlutterDesktopPluginRegistrarRef core_registrar);

  virtual ~PluginRegistrar();

  PluginRegistrar(PluginRegistrar const&) = delete;
  PluginRegistrar& operator=(PluginRegistrar const&) = delete;

  BinaryMessenger* messenger() { return messenger_.get(); }

  // Takes ownership; the plugin is destroyed together with the registrar.
  void AddPlugin(std::unique_ptr<Plugin> plugin);

 protected:
  FlutterDesktopPluginRegistrarRef registrar() const { return registrar_; }

  // Destroys the plugins now, while everything they may use still exists.
  void ClearPlugins();

 private:
  FlutterDesktopPluginRegistrarRef registrar_;

  std::unique_ptr<BinaryMessenger> messenger_;

  std::set<std::unique_ptr<Plugin>> plugins_;
};

// Process-wide table from engine registrar handles to wrapper registrars: one wrapper per
// handle, dropped (with its plugins) when the engine destroys the registrar.
class PluginRegistrarManager {
 public:
  static PluginRegistrarManager* GetInstance();

  PluginRegistrarManager(PluginRegistrarManager const&) = delete;
  PluginRegistrarManager& operator=(PluginRegistrarManager const&) = delete;

  // The wrapper for registrar_ref, created on first use. Every caller for one handle must ask
  // for the same T.
  template <class T>
  T* GetRegistrar(FlutterDesktopPluginRegistrarRef registrar_ref) {
    auto found = registrars_.find(registrar_ref);
    if (found == registrars_.end()) {
      found = registrars_.emplace(registrar_ref, std::make_unique<T>(registrar_ref)).first;
      FlutterDesktopPluginRegistrarSetDestructionHandler(registrar_ref, OnRegistrarDestroyed);
    }
    return static_cast<T*>(found->second.get());
  }

  // Drops every wrapper; for tests that outlive their engines.
  void Reset() { registrars_.clear(); }

 private:
  PluginRegistrarManager();

  using WrapperMap = std::map<FlutterDesktopPluginRegistrarRef, std::unique_ptr<PluginRegistrar>>;

  static void OnRegistrarDestroyed(FlutterDesktopPluginRegistrarRef registrar);

  WrapperMap registrars_;
};

}  // namespace flutter

#endif  // FLUTTER_STANDIN_PLUGIN_REGISTRAR_H_
