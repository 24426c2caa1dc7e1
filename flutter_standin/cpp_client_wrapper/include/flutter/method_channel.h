#ifndef FLUTTER_STANDIN_METHOD_CHANNEL_H_
#define FLUTTER_STANDIN_METHOD_CHANNEL_H_

#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "binary_messenger.h"
#include "engine_method_result.h"
#include "method_call.h"
#include "method_codec.h"
#include "method_result.h"

namespace flutter {

template <typename T>
using MethodCallHandler =
    std::function<void(const MethodCall<T>& call, std::unique_ptr<MethodResult<T>> result)>;

// A named channel for method calls between Dart and native code. The object itself is light:
// the handler set on it stays with the messenger after the channel object is gone.
template <typename T>
class MethodChannel {
 public:
  // messenger and codec must outlive every handler set through this channel.
  MethodChannel(BinaryMessenger* messenger, const std::string& name, const MethodCodec<T>* codec)
      : messenger_(messenger), name_(name), codec_(codec) {}

  ~MethodChannel() = default;

  MethodChannel(MethodChannel const&) = delete;
  MethodChannel& operator=(MethodChannel const&) = delete;

  // Calls a Dart method; result, if given, receives the answer.
  void InvokeMethod(const std::string& method, std::unique_ptr<T> arguments,
                    std::unique_ptr<MethodResult<T>> result = nullptr) {
    MethodCall<T> call(method, std::move(arguments));
    std::unique_ptr<std::vector<uint8_t>> message = codec_->EncodeMethodCall(call);
    if (!result) {
      messenger_->Send(name_, message->data(), message->size(), nullptr);
      return;
    }
    // std::function needs a copyable target, so the result travels in a shared_ptr.
    std::shared_ptr<MethodResult<T>> shared_result(std::move(result));
    const MethodCodec<T>* codec = codec_;
    BinaryReply reply = [shared_result, codec](const uint8_t* data, size_t size) {
      if (size == 0) {
        shared_result->NotImplemented();
        return;
      }
      codec->DecodeAndProcessResponseEnvelope(data, size, shared_result.get());
    };
    messenger_->Send(name_, message->data(), message->size(), std::move(reply));
  }

  // Sets the handler of incoming method calls; an empty handler removes it. Each call is given
  // a result object that answers the message once.
  void SetMethodCallHandler(MethodCallHandler<T> handler) const {
    if (!handler) {
      messenger_->SetMessageHandler(name_, nullptr);
      return;
    }
    const MethodCodec<T>* codec = codec_;
    std::string channel_name = name_;
    BinaryMessageHandler binary_handler = [handler, codec, channel_name](const uint8_t* message,
                                                                         size_t message_size,
                                                                         BinaryReply reply) {
      auto result = std::make_unique<EngineMethodResult<T>>(std::move(reply), codec);
      std::unique_ptr<MethodCall<T>> method_call = codec->DecodeMethodCall(message, message_size);
      if (!method_call) {
        std::cerr << "Unable to decode a method call on channel " << channel_name << std::endl;
        result->NotImplemented();
        return;
      }
      handler(*method_call, std::move(result));
    };
    messenger_->SetMessageHandler(name_, std::move(binary_handler));
  }

 private:
  BinaryMessenger* messenger_;
  std::string name_;
  const MethodCodec<T>* codec_;
};

}  // namespace flutter

#endif  // FLUTTER_STANDIN_METHOD_CHANNEL_H_
