#ifndef FLUTTER_PLUGIN_PORTWELL_PLUGIN_C_API_H_
#define FLUTTER_PLUGIN_PORTWELL_PLUGIN_C_API_H_

#include <flutter_plugin_registrar.h>

#ifdef FLUTTER_PLUGIN_IMPL
#define FLUTTER_PLUGIN_EXPORT __declspec(dllexport)
#else
#define FLUTTER_PLUGIN_EXPORT __declspec(dllimport)
#endif

#if defined(__cplusplus)
extern "C" {
#endif

// Called by the runner's generated plugin registrant, once per engine.
FLUTTER_PLUGIN_EXPORT void PortwellPluginCApiRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar);

#if defined(__cplusplus)
}  // extern "C"
#endif

#endif  // FLUTTER_PLUGIN_PORTWELL_PLUGIN_C_API_H_
