#ifndef FLUTTER_STANDIN_BYTE_BUFFER_STREAMS_H_
#define FLUTTER_STANDIN_BYTE_BUFFER_STREAMS_H_

#include <flutter/byte_streams.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace flutter {

// Reads from a buffer it does not own. Reading past the end never touches memory outside the
// buffer: it yields zeros and marks the stream failed, so that a malformed message is rejected
// instead of being decoded into garbage.
class ByteBufferStreamReader : public ByteStreamReader {
 public:
  ByteBufferStreamReader(const uint8_t* bytes, size_t size)
      : bytes_(bytes), size_(bytes != nullptr ? size : 0) {}

  uint8_t ReadByte() override {
    if (location_ >= size_) {
      failed_ = true;
      return 0;
    }
    return bytes_[location_++];
  }

  void ReadBytes(uint8_t* buffer, size_t length) override {
    if (length > remaining()) {
      Fail();
      if (length != 0) {
        std::memset(buffer, 0, length);
      }
      return;
    }
    if (length != 0) {
      std::memcpy(buffer, bytes_ + location_, length);
    }
    location_ += length;
  }

  void ReadAlignment(uint8_t alignment) override {
    if (alignment == 0) {
      return;
    }
    const size_t misalignment = location_ % alignment;
    if (misalignment == 0) {
      return;
    }
    const size_t padding = alignment - misalignment;
    if (padding > remaining()) {
      Fail();
      return;
    }
    location_ += padding;
  }

  size_t remaining() const { return size_ - location_; }

  bool failed() const { return failed_; }

  // Marks the data as malformed and stops further reads.
  void Fail() {
    failed_ = true;
    location_ = size_;
  }

 private:
  const uint8_t* bytes_;
  size_t size_;
  size_t location_ = 0;
  bool failed_ = false;
};

// Appends to a buffer it does not own.
class ByteBufferStreamWriter : public ByteStreamWriter {
 public:
  explicit ByteBufferStreamWriter(std::vector<uint8_t>* buffer) : bytes_(buffer) {}

  void WriteByte(uint8_t byte) override { bytes_->push_back(byte); }

  void WriteBytes(const uint8_t* bytes, size_t length) override {
    if (length != 0) {
      bytes_->insert(bytes_->end(), bytes, bytes + length);
    }
  }

  void WriteAlignment(uint8_t alignment) override {
    if (alignment == 0) {
      return;
    }
    const size_t misalignment = bytes_->size() % alignment;
    if (misalignment != 0) {
      bytes_->resize(bytes_->size() + alignment - misalignment, 0);
    }
  }

 private:
  std::vector<uint8_t>* bytes_;
};

}  // namespace flutter

#endif  // FLUTTER_STANDIN_BYTE_BUFFER_STREAMS_H_
