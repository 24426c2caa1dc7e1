#ifndef FLUTTER_STANDIN_BINARY_MESSENGER_IMPL_H_
#define FLUTTER_STANDIN_BINARY_MESSENGER_IMPL_H_

#include <flutter/binary_messenger.h>
#include <flutter_messenger.h>

#include <map>
#include <string>

namespace flutter {

// BinaryMessenger over the engine's plain-function messenger.
class BinaryMessengerImpl : public BinaryMessenger {
 public:
  explicit BinaryMessengerImpl(FlutterDesktopMessengerRef core_messenger);

  // Removes this messenger's channel callbacks from the engine: they point into handlers_.
  ~BinaryMessengerImpl() override;

  BinaryMessengerImpl(BinaryMessengerImpl const&) = delete;
  BinaryMessengerImpl& operator=(BinaryMessengerImpl const&) = delete;

  void Send(const std::string& channel, const uint8_t* message, size_t message_size,
            BinaryReply reply) const override;

  void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;

 private:
  FlutterDesktopMessengerRef messenger_;

  // The engine's callbacks get pointers to these; map nodes never move.
  std::map<std::string, BinaryMessageHandler> handlers_;
};

}  // namespace flutter

#endif  // FLUTTER_STANDIN_BINARY_MESSENGER_IMPL_H_
