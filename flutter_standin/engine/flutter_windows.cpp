// Stand-in for the Flutter Windows engine's plugin registrar and binary messenger. A test host
// drives it through flutter_standin_engine.h; plugins reach it through the ordinary embedding
// functions, exactly as they would reach the real flutter_windows.dll.

#include <flutter_standin_engine.h>
#include <flutter_windows.h>

#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

struct FlutterDesktopMessenger {
  struct Receiver {
    FlutterDesktopMessageCallback callback = nullptr;
    void* user_data = nullptr;
  };
  struct Waiter {
    FlutterDesktopBinaryReply reply = nullptr;
    void* user_data = nullptr;
  };

  std::map<std::string, Receiver> receivers;
  // Keyed by handle value. Values count up and are never reused, so a stale or repeated
  // response can never be taken for the answer to a later message.
  std::map<std::uintptr_t, Waiter> open_responses;
  std::uintptr_t next_handle = 1;
  std::size_t rejected_responses = 0;
  std::size_t outgoing_messages = 0;
};

struct FlutterDesktopPluginRegistrar {
  FlutterDesktopMessenger messenger;
  FlutterDesktopOnPluginRegistrarDestroyed destruction_handler = nullptr;
};

namespace {

// Live registrars. Calls naming anything else are ignored rather than trusted, so a faulty
// plugin shows up as a failed test instead of a crash in the engine.
std::set<FlutterDesktopPluginRegistrar*>& LiveRegistrars() {
  static std::set<FlutterDesktopPluginRegistrar*> live;
  return live;
}

FlutterDesktopPluginRegistrar* FindRegistrar(FlutterDesktopPluginRegistrarRef registrar) {
  auto& live = LiveRegistrars();
  return live.count(registrar) != 0 ? registrar : nullptr;
}

FlutterDesktopMessenger* FindMessenger(FlutterDesktopMessengerRef messenger) {
  for (FlutterDesktopPluginRegistrar* registrar : LiveRegistrars()) {
    if (&registrar->messenger == messenger) {
      return messenger;
    }
  }
  return nullptr;
}

const FlutterDesktopMessageResponseHandle* ToHandle(std::uintptr_t value) {
  return reinterpret_cast<const FlutterDesktopMessageResponseHandle*>(value);
}

std::uintptr_t FromHandle(const FlutterDesktopMessageResponseHandle* handle) {
  return reinterpret_cast<std::uintptr_t>(handle);
}

}  // namespace

extern "C" {

FlutterDesktopMessengerRef FlutterDesktopPluginRegistrarGetMessenger(
    FlutterDesktopPluginRegistrarRef registrar) {
  FlutterDesktopPluginRegistrar* live = FindRegistrar(registrar);
  return live != nullptr ? &live->messenger : nullptr;
}

void FlutterDesktopPluginRegistrarSetDestructionHandler(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopOnPluginRegistrarDestroyed callback) {
  if (FlutterDesktopPluginRegistrar* live = FindRegistrar(registrar)) {
    live->destruction_handler = callback;
  }
}

bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger, const char* channel,
                                 const uint8_t* message, const size_t message_size) {
  return FlutterDesktopMessengerSendWithReply(messenger, channel, message, message_size, nullptr,
                                              nullptr);
}

bool FlutterDesktopMessengerSendWithReply(FlutterDesktopMessengerRef messenger, const char* channel,
                                          const uint8_t* /*message*/, const size_t /*message_size*/,
                                          const FlutterDesktopBinaryReply reply, void* user_data) {
  FlutterDesktopMessenger* live = FindMessenger(messenger);
  if (live == nullptr || channel == nullptr) {
    return false;
  }
  ++live->outgoing_messages;
  // No Dart side listens here: answer as the engine does for a channel nobody handles.
  if (reply != nullptr) {
    reply(nullptr, 0, user_data);
  }
  return true;
}

void FlutterDesktopMessengerSendResponse(FlutterDesktopMessengerRef messenger,
                                         const FlutterDesktopMessageResponseHandle* handle,
                                         const uint8_t* data, size_t data_length) {
  FlutterDesktopMessenger* live = FindMessenger(messenger);
  if (live == nullptr) {
    return;
  }
  auto found = live->open_responses.find(FromHandle(handle));
  if (found == live->open_responses.end()) {
    ++live->rejected_responses;
    std::cerr << "flutter_windows stand-in: response on an unknown or answered handle dropped\n";
    return;
  }
  FlutterDesktopMessenger::Waiter waiter = found->second;
  live->open_responses.erase(found);
  if (waiter.reply != nullptr) {
    waiter.reply(data_length != 0 ? data : nullptr, data_length, waiter.user_data);
  }
}

void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger, const char* channel,
                                        FlutterDesktopMessageCallback callback, void* user_data) {
  FlutterDesktopMessenger* live = FindMessenger(messenger);
  if (live == nullptr || channel == nullptr) {
    return;
  }
  if (callback == nullptr) {
    live->receivers.erase(channel);
  } else {
    live->receivers[channel] = {callback, user_data};
  }
}

FlutterDesktopPluginRegistrarRef FlutterStandinCreateRegistrar(void) {
  auto registrar = std::make_unique<FlutterDesktopPluginRegistrar>();
  LiveRegistrars().insert(registrar.get());
  return registrar.release();
}

size_t FlutterStandinDestroyRegistrar(FlutterDesktopPluginRegistrarRef registrar) {
  FlutterDesktopPluginRegistrar* live = FindRegistrar(registrar);
  if (live == nullptr) {
    return 0;
  }
  std::unique_ptr<FlutterDesktopPluginRegistrar> owned(live);
  // The handler may still use the messenger (to remove its callbacks), so the registrar stays
  // live until it has returned.
  if (FlutterDesktopOnPluginRegistrarDestroyed handler = owned->destruction_handler) {
    owned->destruction_handler = nullptr;
    handler(registrar);
  }
  LiveRegistrars().erase(live);
  return owned->messenger.receivers.size();
}

bool FlutterStandinDeliverMessage(FlutterDesktopPluginRegistrarRef registrar, const char* channel,
                                  const uint8_t* message, size_t message_size,
                                  FlutterDesktopBinaryReply reply, void* user_data) {
  FlutterDesktopPluginRegistrar* live = FindRegistrar(registrar);
  if (live == nullptr || channel == nullptr) {
    return false;
  }
  FlutterDesktopMessenger& messenger = live->messenger;
  auto receiver = messenger.receivers.find(channel);
  if (receiver == messenger.receivers.end()) {
    if (reply != nullptr) {
      reply(nullptr, 0, user_data);
    }
    return false;
  }
  // Copied: the callback may replace or remove itself while it runs.
  const FlutterDesktopMessenger::Receiver target = receiver->second;
  const std::uintptr_t handle = messenger.next_handle++;
  messenger.open_responses[handle] = {reply, user_data};
  const FlutterDesktopMessage delivered{sizeof(FlutterDesktopMessage), channel, message,
                                        message_size, ToHandle(handle)};
  target.callback(&messenger, &delivered, target.user_data);
  return true;
}

bool FlutterStandinHasCallback(FlutterDesktopPluginRegistrarRef registrar, const char* channel) {
  FlutterDesktopPluginRegistrar* live = FindRegistrar(registrar);
  return live != nullptr && channel != nullptr && live->messenger.receivers.count(channel) != 0;
}

size_t FlutterStandinOpenResponseCount(FlutterDesktopPluginRegistrarRef registrar) {
  FlutterDesktopPluginRegistrar* live = FindRegistrar(registrar);
  return live != nullptr ? live->messenger.open_responses.size() : 0;
}

size_t FlutterStandinRejectedResponseCount(FlutterDesktopPluginRegistrarRef registrar) {
  FlutterDesktopPluginRegistrar* live = FindRegistrar(registrar);
  return live != nullptr ? live->messenger.rejected_responses : 0;
}

size_t FlutterStandinOutgoingMessageCount(FlutterDesktopPluginRegistrarRef registrar) {
  FlutterDesktopPluginRegistrar* live = FindRegistrar(registrar);
  return live != nullptr ? live->messenger.outgoing_messages : 0;
}

}  // extern "C"
