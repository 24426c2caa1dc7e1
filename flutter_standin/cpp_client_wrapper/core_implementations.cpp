// The parts of the client wrapper that talk to the engine's plain-function interface.

#include <flutter/engine_method_result.h>

#include <flutter_messenger.h>

#include <iostream>
#include <memory>
#include <utility>

#include "binary_messenger_impl.h"

namespace flutter {

namespace {

// Engine callback for every channel that has a handler.
void ForwardToHandler(FlutterDesktopMessengerRef messenger, const FlutterDesktopMessage* message,
                      void* user_data) {
  // A copy, so that a handler that replaces or removes itself is not destroyed while it runs.
  BinaryMessageHandler handler = *static_cast<BinaryMessageHandler*>(user_data);
  const FlutterDesktopMessageResponseHandle* response_handle = message->response_handle;
  BinaryReply reply = [messenger, response_handle](const uint8_t* data, size_t data_size) {
    FlutterDesktopMessengerSendResponse(messenger, response_handle, data, data_size);
  };
  handler(message->message, message->message_size, std::move(reply));
}

}  // namespace

BinaryMessengerImpl::BinaryMessengerImpl(FlutterDesktopMessengerRef core_messenger)
    : messenger_(core_messenger) {}

BinaryMessengerImpl::~BinaryMessengerImpl() {
  for (const auto& entry : handlers_) {
    FlutterDesktopMessengerSetCallback(messenger_, entry.first.c_str(), nullptr, nullptr);
  }
}

void BinaryMessengerImpl::Send(const std::string& channel, const uint8_t* message,
                               size_t message_size, BinaryReply reply) const {
  if (!reply) {
    FlutterDesktopMessengerSend(messenger_, channel.c_str(), message, message_size);
    return;
  }
  auto pending = std::make_unique<BinaryReply>(std::move(reply));
  const FlutterDesktopBinaryReply trampoline = [](const uint8_t* data, size_t data_size,
                                                  void* user_data) {
    std::unique_ptr<BinaryReply> owned(static_cast<BinaryReply*>(user_data));
    (*owned)(data, data_size);
  };
  // The engine owns the pending reply only once it has taken the message.
  if (FlutterDesktopMessengerSendWithReply(messenger_, channel.c_str(), message, message_size,
                                           trampoline, pending.get())) {
    pending.release();
  }
}

void BinaryMessengerImpl::SetMessageHandler(const std::string& channel,
                                            BinaryMessageHandler handler) {
  if (!handler) {
    handlers_.erase(channel);
    FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), nullptr, nullptr);
    return;
  }
  BinaryMessageHandler& stored = handlers_[channel];
  stored = std::move(handler);
  FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), ForwardToHandler, &stored);
}

namespace internal {

ReplyManager::ReplyManager(BinaryReply reply_handler) : reply_handler_(std::move(reply_handler)) {}

ReplyManager::~ReplyManager() {
  if (reply_handler_) {
    std::cerr << "Warning: a message was never answered; its sender waits for ever." << std::endl;
  }
}

void ReplyManager::SendResponseData(const std::vector<uint8_t>* data) {
  if (!reply_handler_) {
    std::cerr << "Error: a method result was answered more than once; the extra answer is "
                 "ignored."
              << std::endl;
    return;
  }
  // Cleared before the call, so that the reply cannot be sent twice even from inside it.
  BinaryReply reply = std::move(reply_handler_);
  reply_handler_ = nullptr;
  if (data != nullptr) {
    reply(data->data(), data->size());
  } else {
    reply(nullptr, 0);
  }
}

}  // namespace internal

}  // namespace flutter
