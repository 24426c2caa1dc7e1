#ifndef FLUTTER_STANDIN_METHOD_CALL_H_
#define FLUTTER_STANDIN_METHOD_CALL_H_

#include <memory>
#include <string>
#include <utility>

namespace flutter {

// A method name and its arguments, as decoded from a channel message.
template <typename T>
class MethodCall {
 public:
  MethodCall(const std::string& method_name, std::unique_ptr<T> arguments)
      : method_name_(method_name), arguments_(std::move(arguments)) {}

  virtual ~MethodCall() = default;

  MethodCall(MethodCall<T> const&) = delete;
  MethodCall& operator=(MethodCall<T> const&) = delete;

  const std::string& method_name() const { return method_name_; }

  const T* arguments() const { return arguments_.get(); }

 private:
  std::string method_name_;
  std::unique_ptr<T> arguments_;
};

}  // namespace flutter

#endif  // FLUTTER_STANDIN_METHOD_CALL_H_
