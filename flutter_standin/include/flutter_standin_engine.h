#ifndef FLUTTER_STANDIN_FLUTTER_STANDIN_ENGINE_H_
#define FLUTTER_STANDIN_FLUTTER_STANDIN_ENGINE_H_

// Test-driving functions of the stand-in flutter_windows.dll. They play the part of the engine
// and the Dart side for a test host; a real Flutter runner has none of them.
//
// Each registrar stands for one engine: its own messenger and channel callbacks. All calls
// belong on one thread, like the embedding's platform thread.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "flutter_export.h"
#include "flutter_messenger.h"
#include "flutter_plugin_registrar.h"

#if defined(__cplusplus)
extern "C" {
#endif

// Starts a stand-in engine and returns its plugin registrar.
FLUTTER_EXPORT FlutterDesktopPluginRegistrarRef FlutterStandinCreateRegistrar(void);

// Shuts the engine down as a runner's exit does: runs the registrar's destruction handler, then
// frees the messenger. Returns how many channel callbacks were still set once the handler had
// returned, i.e. how many the plugin side left behind.
FLUTTER_EXPORT size_t FlutterStandinDestroyRegistrar(FlutterDesktopPluginRegistrarRef registrar);

// Delivers one message from the Dart side on channel. reply receives the answer once, when the
// receiver responds (at once for a channel without a callback, with no data, as the engine
// answers unhandled messages). Returns whether a callback was set on the channel.
FLUTTER_EXPORT bool FlutterStandinDeliverMessage(FlutterDesktopPluginRegistrarRef registrar,
                                                 const char* channel, const uint8_t* message,
                                                 size_t message_size,
                                                 FlutterDesktopBinaryReply reply, void* user_data);

// Whether a callback is set on channel.
FLUTTER_EXPORT bool FlutterStandinHasCallback(FlutterDesktopPluginRegistrarRef registrar,
                                              const char* channel);

// Messages delivered but not answered yet.
FLUTTER_EXPORT size_t FlutterStandinOpenResponseCount(FlutterDesktopPluginRegistrarRef registrar);

// Responses that named an unknown or already answered handle; the engine drops them.
FLUTTER_EXPORT size_t
FlutterStandinRejectedResponseCount(FlutterDesktopPluginRegistrarRef registrar);

// Messages the plugin side sent towards Dart (there is no Dart side; each is answered with no
// data).
FLUTTER_EXPORT size_t
FlutterStandinOutgoingMessageCount(FlutterDesktopPluginRegistrarRef registrar);

#if defined(__cplusplus)
}  // extern "C"
#endif

#endif  // FLUTTER_STANDIN_FLUTTER_STANDIN_ENGINE_H_
