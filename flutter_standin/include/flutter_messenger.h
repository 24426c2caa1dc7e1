#ifndef FLUTTER_STANDIN_FLUTTER_MESSENGER_H_
#define FLUTTER_STANDIN_FLUTTER_MESSENGER_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "flutter_export.h"

#if defined(__cplusplus)
extern "C" {
#endif

// The engine's binary messenger; owned by the engine.
typedef struct FlutterDesktopMessenger* FlutterDesktopMessengerRef;

// Single-use token for answering one incoming message.
typedef struct _FlutterPlatformMessageResponseHandle FlutterDesktopMessageResponseHandle;

// Receives the answer to a message sent to the Dart side.
typedef void (*FlutterDesktopBinaryReply)(const uint8_t* data, size_t data_size, void* user_data);

// One message arriving from the Dart side.
typedef struct {
  // Size of this struct, so that fields can be added later.
  size_t struct_size;
  const char* channel;
  const uint8_t* message;
  size_t message_size;
  // Answer with FlutterDesktopMessengerSendResponse, exactly once.
  const FlutterDesktopMessageResponseHandle* response_handle;
} FlutterDesktopMessage;

typedef void (*FlutterDesktopMessageCallback)(FlutterDesktopMessengerRef messenger,
                                              const FlutterDesktopMessage* message,
                                              void* user_data);

// Sends a message to the Dart side without waiting for an answer.
FLUTTER_EXPORT bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger,
                                                const char* channel, const uint8_t* message,
                                                const size_t message_size);

// Sends a message to the Dart side; reply receives its answer.
FLUTTER_EXPORT bool FlutterDesktopMessengerSendWithReply(
    FlutterDesktopMessengerRef messenger, const char* channel, const uint8_t* message,
    const size_t message_size, const FlutterDesktopBinaryReply reply, void* user_data);

// Answers the message that handle came with. Empty data means "not handled".
FLUTTER_EXPORT void FlutterDesktopMessengerSendResponse(
    FlutterDesktopMessengerRef messenger, const FlutterDesktopMessageResponseHandle* handle,
    const uint8_t* data, size_t data_length);

// Sets, replaces or (with a null callback) removes the receiver of a channel's messages.
FLUTTER_EXPORT void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger,
                                                       const char* channel,
                                                       FlutterDesktopMessageCallback callback,
                                                       void* user_data);

#if defined(__cplusplus)
}  // extern "C"
#endif

#endif  // FLUTTER_STANDIN_FLUTTER_MESSENGER_H_
