#ifndef FLUTTER_STANDIN_BINARY_MESSENGER_H_
#define FLUTTER_STANDIN_BINARY_MESSENGER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace flutter {

// Answers one message; call at most once.
typedef std::function<void(const uint8_t* reply, size_t reply_size)> BinaryReply;

// Receives the messages of one channel.
typedef std::function<void(const uint8_t* message, size_t message_size, BinaryReply reply)>
    BinaryMessageHandler;

// Sends and receives raw channel messages to and from the Dart side.
class BinaryMessenger {
 public:
  virtual ~BinaryMessenger() = default;

  virtual void Send(const std::string& channel, const uint8_t* message, size_t message_size,
                    BinaryReply reply = nullptr) const = 0;

  // An empty handler removes the channel's handler.
  virtual void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

}  // namespace flutter

#endif  // FLUTTER_STANDIN_BINARY_MESSENGER_H_
