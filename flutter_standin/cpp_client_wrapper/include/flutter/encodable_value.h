#ifndef FLUTTER_STANDIN_ENCODABLE_VALUE_H_
#define FLUTTER_STANDIN_ENCODABLE_VALUE_H_

#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace flutter {

static_assert(sizeof(double) == 8, "the standard codec needs a 64-bit double");

class EncodableValue;

using EncodableList = std::vector<EncodableValue>;
using EncodableMap = std::map<EncodableValue, EncodableValue>;

namespace internal {
using EncodableValueVariant =
    std::variant<std::monostate, bool, int32_t, int64_t, double, std::string, std::vector<uint8_t>,
                 std::vector<int32_t>, std::vector<int64_t>, std::vector<double>, EncodableList,
                 EncodableMap, std::vector<float>>;
}  // namespace internal

// A value the standard codec can carry: null, bool, 32/64-bit integer, double, UTF-8 string,
// typed lists, and lists and maps of values.
class EncodableValue : public internal::EncodableValueVariant {
 public:
  using super = internal::EncodableValueVariant;

  // A null value.
  EncodableValue() = default;

  // Without this a string literal would turn into a bool.
  explicit EncodableValue(const char* string) : super(std::string(string)) {}
  EncodableValue& operator=(const char* other) {
    *this = EncodableValue(other);
    return *this;
  }

  // Conversions from the alternatives are explicit, so that no value changes type by accident.
  template <class T,
            typename = std::enable_if_t<!std::is_base_of_v<super, std::decay_t<T>> &&
                                        !std::is_convertible_v<std::decay_t<T>, const char*>>>
  constexpr explicit EncodableValue(T&& t) noexcept(std::is_nothrow_constructible_v<super, T&&>)
      : super(std::forward<T>(t)) {}

  template <class T,
            typename = std::enable_if_t<!std::is_base_of_v<super, std::decay_t<T>> &&
                                        !std::is_convertible_v<std::decay_t<T>, const char*>>>
  EncodableValue& operator=(T&& t) {
    super::operator=(std::forward<T>(t));
    return *this;
  }

  bool IsNull() const { return std::holds_alternative<std::monostate>(*this); }

  // The integer held, whichever width it arrived in (Dart picks the width by magnitude).
  // Not valid for other types.
  int64_t LongValue() const {
    if (std::holds_alternative<int32_t>(*this)) {
      return std::get<int32_t>(*this);
    }
    return std::get<int64_t>(*this);
  }

  friend bool operator<(const EncodableValue& lhs, const EncodableValue& rhs) {
    return static_cast<const super&>(lhs) < static_cast<const super&>(rhs);
  }
};

}  // namespace flutter

#endif  // FLUTTER_STANDIN_ENCODABLE_VALUE_H_
