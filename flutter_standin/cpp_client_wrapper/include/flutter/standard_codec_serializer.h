#ifndef FLUTTER_STANDIN_STANDARD_CODEC_SERIALIZER_H_
#define FLUTTER_STANDIN_STANDARD_CODEC_SERIALIZER_H_

#include <cstddef>
#include <cstdint>

#include "byte_streams.h"
#include "encodable_value.h"

namespace flutter {

// Reads and writes EncodableValues in the standard codec's wire format. Subclass it to carry
// more types (override ReadValueOfType and WriteValue).
class StandardCodecSerializer {
 public:
  virtual ~StandardCodecSerializer();

  StandardCodecSerializer(StandardCodecSerializer const&) = delete;
  StandardCodecSerializer& operator=(StandardCodecSerializer const&) = delete;

  static const StandardCodecSerializer& GetInstance();

  EncodableValue ReadValue(ByteStreamReader* stream) const;

  virtual void WriteValue(const EncodableValue& value, ByteStreamWriter* stream) const;

 protected:
  StandardCodecSerializer();

  virtual EncodableValue ReadValueOfType(uint8_t type, ByteStreamReader* stream) const;

  size_t ReadSize(ByteStreamReader* stream) const;

  void WriteSize(size_t size, ByteStreamWriter* stream) const;
};

}  // namespace flutter

#endif  // FLUTTER_STANDIN_STANDARD_CODEC_SERIALIZER_H_
