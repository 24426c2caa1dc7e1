#ifndef FLUTTER_STANDIN_BYTE_STREAMS_H_
#define FLUTTER_STANDIN_BYTE_STREAMS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace flutter {

// Reads codec data. Multi-byte numbers are in host order, which is little-endian on every
// Flutter desktop target, as the wire format wants.
class ByteStreamReader {
 public:
  ByteStreamReader() = default;
  virtual ~ByteStreamReader() = default;

  virtual uint8_t ReadByte() = 0;

  virtual void ReadBytes(uint8_t* buffer, size_t length) = 0;

  // Skips to the next multiple of alignment, counted from the start of the data.
  virtual void ReadAlignment(uint8_t alignment) = 0;

  uint16_t ReadInt16() { return ReadNumber<uint16_t>(); }
  int32_t ReadInt32() { return ReadNumber<int32_t>(); }
  int64_t ReadInt64() { return ReadNumber<int64_t>(); }
  double ReadDouble() { return ReadNumber<double>(); }

 private:
  template <typename N>
  N ReadNumber() {
    uint8_t bytes[sizeof(N)] = {};
    ReadBytes(bytes, sizeof(N));
    N value;
    std::memcpy(&value, bytes, sizeof(N));
    return value;
  }
};

// Writes codec data; see ByteStreamReader about byte order.
class ByteStreamWriter {
 public:
  ByteStreamWriter() = default;
  virtual ~ByteStreamWriter() = default;

  virtual void WriteByte(uint8_t byte) = 0;

  virtual void WriteBytes(const uint8_t* bytes, size_t length) = 0;

  // Pads with zero bytes to the next multiple of alignment.
  virtual void WriteAlignment(uint8_t alignment) = 0;

  void WriteInt16(int16_t value) { WriteNumber(value); }
  void WriteInt32(int32_t value) { WriteNumber(value); }
  void WriteInt64(int64_t value) { WriteNumber(value); }
  void WriteDouble(double value) { WriteNumber(value); }

 private:
  template <typename N>
  void WriteNumber(N value) {
    uint8_t bytes[sizeof(N)];
    std::memcpy(bytes, &value, sizeof(N));
    WriteBytes(bytes, sizeof(N));
  }
};

}  // namespace flutter

#endif  // FLUTTER_STANDIN_BYTE_STREAMS_H_
