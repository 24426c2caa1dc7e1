// The standard codec: a value is a type byte and its payload, little-endian, with sizes in a
// compact form and some payloads aligned from the start of the message.

#include <flutter/standard_codec_serializer.h>
#include <flutter/standard_method_codec.h>

#include <cstdint>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "byte_buffer_streams.h"

namespace flutter {

namespace {

enum class WireType : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kFloat64 = 6,
  kString = 7,
  kUInt8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

constexpr uint8_t kSizeUInt16Marker = 254;
constexpr uint8_t kSizeUInt32Marker = 255;

// The codec's own reader knows how much data is left and can be marked failed; another reader
// passed to a custom serializer is trusted as its author wrote it.
ByteBufferStreamReader* AsBufferReader(ByteStreamReader* stream) {
  return dynamic_cast<ByteBufferStreamReader*>(stream);
}

bool HasFailed(ByteStreamReader* stream) {
  ByteBufferStreamReader* buffer = AsBufferReader(stream);
  return buffer != nullptr && buffer->failed();
}

void MarkFailed(ByteStreamReader* stream) {
  if (ByteBufferStreamReader* buffer = AsBufferReader(stream)) {
    buffer->Fail();
  }
}

// Whether count elements of at least element_size bytes each can still follow. Checked before
// anything is allocated, so that a bogus size can't ask for gigabytes.
bool CanHold(ByteStreamReader* stream, size_t count, size_t element_size) {
  ByteBufferStreamReader* buffer = AsBufferReader(stream);
  if (buffer == nullptr) {
    return true;
  }
  if (buffer->failed() || count > buffer->remaining() / element_size) {
    buffer->Fail();
    return false;
  }
  return true;
}

template <typename T>
std::vector<T> ReadArray(ByteStreamReader* stream, size_t count) {
  if (!CanHold(stream, count, sizeof(T))) {
    return {};
  }
  std::vector<T> values(count);
  if (count != 0) {
    stream->ReadBytes(reinterpret_cast<uint8_t*>(values.data()), count * sizeof(T));
  }
  return values;
}

template <typename T>
void WriteArray(const std::vector<T>& values, ByteStreamWriter* stream) {
  if (!values.empty()) {
    stream->WriteBytes(reinterpret_cast<const uint8_t*>(values.data()), values.size() * sizeof(T));
  }
}

void WriteType(WireType type, ByteStreamWriter* stream) {
  stream->WriteByte(static_cast<uint8_t>(type));
}

}  // namespace

StandardCodecSerializer::StandardCodecSerializer() = default;

StandardCodecSerializer::~StandardCodecSerializer() = default;

const StandardCodecSerializer& StandardCodecSerializer::GetInstance() {
  static StandardCodecSerializer instance;
  return instance;
}

EncodableValue StandardCodecSerializer::ReadValue(ByteStreamReader* stream) const {
  const uint8_t type = stream->ReadByte();
  if (HasFailed(stream)) {
    return EncodableValue();
  }
  return ReadValueOfType(type, stream);
}

EncodableValue StandardCodecSerializer::ReadValueOfType(uint8_t type,
                                                        ByteStreamReader* stream) const {
  switch (static_cast<WireType>(type)) {
    case WireType::kNull:
      return EncodableValue();
    case WireType::kTrue:
      return EncodableValue(true);
    case WireType::kFalse:
      return EncodableValue(false);
    case WireType::kInt32:
      return EncodableValue(stream->ReadInt32());
    case WireType::kInt64:
      return EncodableValue(stream->ReadInt64());
    case WireType::kFloat64:
      stream->ReadAlignment(8);
      return EncodableValue(stream->ReadDouble());
    case WireType::kString: {
      const size_t size = ReadSize(stream);
      std::vector<uint8_t> bytes = ReadArray<uint8_t>(stream, size);
      return EncodableValue(std::string(bytes.begin(), bytes.end()));
    }
    case WireType::kUInt8List: {
      const size_t size = ReadSize(stream);
      return EncodableValue(ReadArray<uint8_t>(stream, size));
    }
    case WireType::kInt32List: {
      const size_t size = ReadSize(stream);
      stream->ReadAlignment(4);
      return EncodableValue(ReadArray<int32_t>(stream, size));
    }
    case WireType::kInt64List: {
      const size_t size = ReadSize(stream);
      stream->ReadAlignment(8);
      return EncodableValue(ReadArray<int64_t>(stream, size));
    }
    case WireType::kFloat64List: {
      const size_t size = ReadSize(stream);
      stream->ReadAlignment(8);
      return EncodableValue(ReadArray<double>(stream, size));
    }
    case WireType::kFloat32List: {
      const size_t size = ReadSize(stream);
      stream->ReadAlignment(4);
      return EncodableValue(ReadArray<float>(stream, size));
    }
    case WireType::kList: {
      const size_t size = ReadSize(stream);
      EncodableList list;
      if (!CanHold(stream, size, 1)) {
        return EncodableValue(list);
      }
      list.reserve(size);
      for (size_t i = 0; i < size && !HasFailed(stream); ++i) {
        list.push_back(ReadValue(stream));
      }
      return EncodableValue(std::move(list));
    }
    case WireType::kMap: {
      const size_t size = ReadSize(stream);
      EncodableMap map;
      if (!CanHold(stream, size, 2)) {
        return EncodableValue(map);
      }
      for (size_t i = 0; i < size && !HasFailed(stream); ++i) {
        EncodableValue key = ReadValue(stream);
        EncodableValue value = ReadValue(stream);
        map.emplace(std::move(key), std::move(value));
      }
      return EncodableValue(std::move(map));
    }
  }
  std::cerr << "Unknown type " << static_cast<int>(type) << " in a standard codec message"
            << std::endl;
  MarkFailed(stream);
  return EncodableValue();
}

size_t StandardCodecSerializer::ReadSize(ByteStreamReader* stream) const {
  const uint8_t byte = stream->ReadByte();
  if (byte < kSizeUInt16Marker) {
    return byte;
  }
  if (byte == kSizeUInt16Marker) {
    return stream->ReadInt16();
  }
  return static_cast<uint32_t>(stream->ReadInt32());
}

void StandardCodecSerializer::WriteSize(size_t size, ByteStreamWriter* stream) const {
  if (size < kSizeUInt16Marker) {
    stream->WriteByte(static_cast<uint8_t>(size));
  } else if (size <= std::numeric_limits<uint16_t>::max()) {
    stream->WriteByte(kSizeUInt16Marker);
    stream->WriteInt16(static_cast<int16_t>(static_cast<uint16_t>(size)));
  } else {
    if (size > std::numeric_limits<uint32_t>::max()) {
      std::cerr << "A value of " << size << " elements is too large for the standard codec"
                << std::endl;
    }
    stream->WriteByte(kSizeUInt32Marker);
    stream->WriteInt32(static_cast<int32_t>(static_cast<uint32_t>(size)));
  }
}

void StandardCodecSerializer::WriteValue(const EncodableValue& value,
                                         ByteStreamWriter* stream) const {
  if (std::holds_alternative<std::monostate>(value)) {
    WriteType(WireType::kNull, stream);
  } else if (const auto* flag = std::get_if<bool>(&value)) {
    WriteType(*flag ? WireType::kTrue : WireType::kFalse, stream);
  } else if (const auto* int32 = std::get_if<int32_t>(&value)) {
    WriteType(WireType::kInt32, stream);
    stream->WriteInt32(*int32);
  } else if (const auto* int64 = std::get_if<int64_t>(&value)) {
    WriteType(WireType::kInt64, stream);
    stream->WriteInt64(*int64);
  } else if (const auto* number = std::get_if<double>(&value)) {
    WriteType(WireType::kFloat64, stream);
    stream->WriteAlignment(8);
    stream->WriteDouble(*number);
  } else if (const auto* text = std::get_if<std::string>(&value)) {
    WriteType(WireType::kString, stream);
    WriteSize(text->size(), stream);
    stream->WriteBytes(reinterpret_cast<const uint8_t*>(text->data()), text->size());
  } else if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&value)) {
    WriteType(WireType::kUInt8List, stream);
    WriteSize(bytes->size(), stream);
    WriteArray(*bytes, stream);
  } else if (const auto* int32s = std::get_if<std::vector<int32_t>>(&value)) {
    WriteType(WireType::kInt32List, stream);
    WriteSize(int32s->size(), stream);
    stream->WriteAlignment(4);
    WriteArray(*int32s, stream);
  } else if (const auto* int64s = std::get_if<std::vector<int64_t>>(&value)) {
    WriteType(WireType::kInt64List, stream);
    WriteSize(int64s->size(), stream);
    stream->WriteAlignment(8);
    WriteArray(*int64s, stream);
  } else if (const auto* doubles = std::get_if<std::vector<double>>(&value)) {
    WriteType(WireType::kFloat64List, stream);
    WriteSize(doubles->size(), stream);
    stream->WriteAlignment(8);
    WriteArray(*doubles, stream);
  } else if (const auto* floats = std::get_if<std::vector<float>>(&value)) {
    WriteType(WireType::kFloat32List, stream);
    WriteSize(floats->size(), stream);
    stream->WriteAlignment(4);
    WriteArray(*floats, stream);
  } else if (const auto* list = std::get_if<EncodableList>(&value)) {
    WriteType(WireType::kList, stream);
    WriteSize(list->size(), stream);
    for (const EncodableValue& item : *list) {
      WriteValue(item, stream);
    }
  } else if (const auto* map = std::get_if<EncodableMap>(&value)) {
    WriteType(WireType::kMap, stream);
    WriteSize(map->size(), stream);
    for (const auto& [key, item] : *map) {
      WriteValue(key, stream);
      WriteValue(item, stream);
    }
  }
}

const StandardMethodCodec& StandardMethodCodec::GetInstance(
    const StandardCodecSerializer* serializer) {
  if (serializer == nullptr) {
    serializer = &StandardCodecSerializer::GetInstance();
  }
  static std::mutex mutex;
  // Never destroyed: channel handlers keep pointers to these codecs until the process ends.
  static auto* codecs =
      new std::map<const StandardCodecSerializer*, std::unique_ptr<StandardMethodCodec>>();
  std::lock_guard<std::mutex> lock(mutex);
  std::unique_ptr<StandardMethodCodec>& codec = (*codecs)[serializer];
  if (!codec) {
    codec.reset(new StandardMethodCodec(serializer));
  }
  return *codec;
}

StandardMethodCodec::StandardMethodCodec(const StandardCodecSerializer* serializer)
    : serializer_(serializer) {}

StandardMethodCodec::~StandardMethodCodec() = default;

std::unique_ptr<MethodCall<EncodableValue>> StandardMethodCodec::DecodeMethodCallInternal(
    const uint8_t* message, size_t message_size) const {
  ByteBufferStreamReader stream(message, message_size);
  EncodableValue name = serializer_->ReadValue(&stream);
  const auto* method_name = std::get_if<std::string>(&name);
  if (method_name == nullptr || stream.failed()) {
    return nullptr;
  }
  // A call without arguments is a call with null arguments.
  auto arguments = std::make_unique<EncodableValue>();
  if (stream.remaining() != 0) {
    *arguments = serializer_->ReadValue(&stream);
    if (stream.failed()) {
      return nullptr;
    }
  }
  return std::make_unique<MethodCall<EncodableValue>>(*method_name, std::move(arguments));
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeMethodCallInternal(
    const MethodCall<EncodableValue>& method_call) const {
  auto encoded = std::make_unique<std::vector<uint8_t>>();
  ByteBufferStreamWriter stream(encoded.get());
  serializer_->WriteValue(EncodableValue(method_call.method_name()), &stream);
  if (method_call.arguments() != nullptr) {
    serializer_->WriteValue(*method_call.arguments(), &stream);
  } else {
    serializer_->WriteValue(EncodableValue(), &stream);
  }
  return encoded;
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeSuccessEnvelopeInternal(
    const EncodableValue* result) const {
  auto encoded = std::make_unique<std::vector<uint8_t>>();
  ByteBufferStreamWriter stream(encoded.get());
  stream.WriteByte(0);
  if (result != nullptr) {
    serializer_->WriteValue(*result, &stream);
  } else {
    serializer_->WriteValue(EncodableValue(), &stream);
  }
  return encoded;
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeErrorEnvelopeInternal(
    const std::string& error_code, const std::string& error_message,
    const EncodableValue* error_details) const {
  auto encoded = std::make_unique<std::vector<uint8_t>>();
  ByteBufferStreamWriter stream(encoded.get());
  stream.WriteByte(1);
  serializer_->WriteValue(EncodableValue(error_code), &stream);
  // Dart's error message is nullable; an empty one travels as null.
  if (error_message.empty()) {
    serializer_->WriteValue(EncodableValue(), &stream);
  } else {
    serializer_->WriteValue(EncodableValue(error_message), &stream);
  }
  if (error_details != nullptr) {
    serializer_->WriteValue(*error_details, &stream);
  } else {
    serializer_->WriteValue(EncodableValue(), &stream);
  }
  return encoded;
}

bool StandardMethodCodec::DecodeAndProcessResponseEnvelopeInternal(
    const uint8_t* response, size_t response_size, MethodResult<EncodableValue>* result) const {
  ByteBufferStreamReader stream(response, response_size);
  const uint8_t flag = stream.ReadByte();
  if (stream.failed()) {
    return false;
  }
  if (flag == 0) {
    EncodableValue value = serializer_->ReadValue(&stream);
    if (stream.failed()) {
      return false;
    }
    if (value.IsNull()) {
      result->Success();
    } else {
      result->Success(value);
    }
    return true;
  }
  if (flag == 1) {
    EncodableValue code = serializer_->ReadValue(&stream);
    EncodableValue message = serializer_->ReadValue(&stream);
    EncodableValue details = serializer_->ReadValue(&stream);
    const auto* code_text = std::get_if<std::string>(&code);
    const auto* message_text = std::get_if<std::string>(&message);
    if (stream.failed() || code_text == nullptr || (message_text == nullptr && !message.IsNull())) {
      return false;
    }
    const std::string message_or_empty = message_text != nullptr ? *message_text : std::string();
    if (details.IsNull()) {
      result->Error(*code_text, message_or_empty);
    } else {
      result->Error(*code_text, message_or_empty, details);
    }
    return true;
  }
  return false;
}

}  // namespace flutter
