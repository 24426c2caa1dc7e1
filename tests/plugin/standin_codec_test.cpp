// The stand-in's standard codec against the wire format, byte for byte: a method call, and the
// success and error envelopes with every value type, alignment and size form; and malformed
// messages, which must be refused rather than read past their end.

#include <flutter/encodable_value.h>
#include <flutter/method_result_functions.h>
#include <flutter/standard_method_codec.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;

const flutter::StandardMethodCodec& Codec() {
  return flutter::StandardMethodCodec::GetInstance();
}

Bytes operator+(Bytes lhs, const Bytes& rhs) {
  lhs.insert(lhs.end(), rhs.begin(), rhs.end());
  return lhs;
}

Bytes Repeat(uint8_t byte, size_t count) {
  return Bytes(count, byte);
}

struct ValueCase {
  const char* what;
  EncodableValue value;
  // The whole success envelope: the 0 byte, then the value. Alignment counts from its start.
  Bytes envelope;
};

std::vector<ValueCase> ValueCases() {
  return {
      {"null", EncodableValue(), {0, 0}},
      {"true", EncodableValue(true), {0, 1}},
      {"false", EncodableValue(false), {0, 2}},
      {"int32", EncodableValue(int32_t{-2}), {0, 3, 0xFE, 0xFF, 0xFF, 0xFF}},
      {"int64", EncodableValue(int64_t{0x0102030405060708}), {0, 4, 8, 7, 6, 5, 4, 3, 2, 1}},
      {"float64 aligned to 8",
       EncodableValue(1.5),
       {0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}},
      {"UTF-8 string", EncodableValue("h\xC3\xA9llo"), {0, 7, 6, 'h', 0xC3, 0xA9, 'l', 'l', 'o'}},
      {"empty string", EncodableValue(""), {0, 7, 0}},
      {"253-byte string, one-byte size", EncodableValue(std::string(253, 'a')),
       Bytes{0, 7, 253} + Repeat('a', 253)},
      {"254-byte string, uint16 size", EncodableValue(std::string(254, 'a')),
       Bytes{0, 7, 254, 254, 0} + Repeat('a', 254)},
      {"65536-byte string, uint32 size", EncodableValue(std::string(65536, 'b')),
       Bytes{0, 7, 255, 0, 0, 1, 0} + Repeat('b', 65536)},
      {"uint8 list", EncodableValue(Bytes{1, 2, 3}), {0, 8, 3, 1, 2, 3}},
      {"int32 list aligned to 4",
       EncodableValue(std::vector<int32_t>{1}),
       {0, 9, 1, 0, 1, 0, 0, 0}},
      {"int64 list aligned to 8",
       EncodableValue(std::vector<int64_t>{-1}),
       {0, 10, 1, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"float64 list aligned to 8",
       EncodableValue(std::vector<double>{0.5}),
       {0, 11, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0x3F}},
      {"float32 list aligned to 4",
       EncodableValue(std::vector<float>{1.0f}),
       {0, 14, 1, 0, 0, 0, 0x80, 0x3F}},
      {"list",
       EncodableValue(EncodableList{EncodableValue(1), EncodableValue("a")}),
       {0, 12, 2, 3, 1, 0, 0, 0, 7, 1, 'a'}},
      {"float64 inside a list, aligned from the message start",
       EncodableValue(EncodableList{EncodableValue(1.5)}),
       {0, 12, 1, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}},
      {"map",
       EncodableValue(EncodableMap{{EncodableValue("k"), EncodableValue(true)}}),
       {0, 13, 1, 7, 1, 'k', 1}},
  };
}

TEST(StandinCodec, SuccessEnvelopeWritesEachValueInTheWireFormat) {
  for (const ValueCase& c : ValueCases()) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(*Codec().EncodeSuccessEnvelope(&c.value), c.envelope);
  }
  EXPECT_EQ(*Codec().EncodeSuccessEnvelope(), (Bytes{0, 0}));
}

TEST(StandinCodec, SuccessEnvelopeReadsEachValueFromTheWireFormat) {
  for (const ValueCase& c : ValueCases()) {
    SCOPED_TRACE(c.what);
    int calls = 0;
    EncodableValue decoded(int32_t{-99});
    flutter::MethodResultFunctions<EncodableValue> result(
        [&](const EncodableValue* value) {
          ++calls;
          decoded = value != nullptr ? *value : EncodableValue();
        },
        [&](const std::string&, const std::string&, const EncodableValue*) { ++calls; },
        [&] { ++calls; });
    EXPECT_TRUE(
        Codec().DecodeAndProcessResponseEnvelope(c.envelope.data(), c.envelope.size(), &result));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(decoded, c.value);
  }
}

TEST(StandinCodec, MethodCallIsTheNameThenTheArguments) {
  const Bytes with_arguments = {7, 3, 'a', 'b', 'c', 3, 5, 0, 0, 0};
  std::unique_ptr<flutter::MethodCall<EncodableValue>> call =
      Codec().DecodeMethodCall(with_arguments);
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->method_name(), "abc");
  ASSERT_NE(call->arguments(), nullptr);
  EXPECT_EQ(*call->arguments(), EncodableValue(5));
  EXPECT_EQ(*Codec().EncodeMethodCall(*call), with_arguments);

  // Dart always sends the arguments, but a bare name means null arguments.
  call = Codec().DecodeMethodCall(Bytes{7, 1, 'm'});
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->method_name(), "m");
  ASSERT_NE(call->arguments(), nullptr);
  EXPECT_TRUE(call->arguments()->IsNull());

  flutter::MethodCall<EncodableValue> without("m", nullptr);
  EXPECT_EQ(*Codec().EncodeMethodCall(without), (Bytes{7, 1, 'm', 0}));
}

TEST(StandinCodec, ErrorEnvelopeCarriesCodeMessageAndDetails) {
  const EncodableValue details(1);
  EXPECT_EQ(*Codec().EncodeErrorEnvelope("E", "msg", &details),
            (Bytes{1, 7, 1, 'E', 7, 3, 'm', 's', 'g', 3, 1, 0, 0, 0}));
  // Dart's message is nullable: an empty one travels as null.
  EXPECT_EQ(*Codec().EncodeErrorEnvelope("E"), (Bytes{1, 7, 1, 'E', 0, 0}));

  const Bytes envelope = {1, 7, 1, 'E', 7, 3, 'm', 's', 'g', 3, 1, 0, 0, 0};
  std::string code;
  std::string message;
  EncodableValue decoded_details;
  int calls = 0;
  flutter::MethodResultFunctions<EncodableValue> result(
      [&](const EncodableValue*) { ++calls; },
      [&](const std::string& c, const std::string& m, const EncodableValue* d) {
        ++calls;
        code = c;
        message = m;
        decoded_details = d != nullptr ? *d : EncodableValue();
      },
      [&] { ++calls; });
  EXPECT_TRUE(Codec().DecodeAndProcessResponseEnvelope(envelope.data(), envelope.size(), &result));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(code, "E");
  EXPECT_EQ(message, "msg");
  EXPECT_EQ(decoded_details, details);
}

TEST(StandinCodec, MalformedMethodCallsAreRefused) {
  const Bytes name = {7, 1, 'm'};
  const struct {
    const char* what;
    Bytes message;
  } cases[] = {
      {"empty", {}},
      {"name is not a string", {3, 1, 0, 0, 0}},
      {"name longer than the message", {7, 5, 'a'}},
      {"size cut short", {7, 254, 1}},
      {"arguments cut short", name + Bytes{7, 5, 'a'}},
      {"unsupported large-integer type", name + Bytes{5, 1, '1'}},
      {"unknown type", name + Bytes{99}},
      {"list claims four billion items", name + Bytes{12, 255, 255, 255, 255, 255}},
      {"bytes claim four billion bytes", name + Bytes{8, 255, 255, 255, 255, 255, 0}},
      {"float64 without its padding and payload", name + Bytes{6, 0}},
      {"float64 list without its payload", name + Bytes{11, 1, 0, 0, 0}},
      {"map with a missing entry", name + Bytes{13, 2, 0, 0}},
      {"list item cut short", name + Bytes{12, 1, 4, 1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Codec().DecodeMethodCall(c.message), nullptr);
  }
}

TEST(StandinCodec, MalformedEnvelopesAreRefusedWithoutAnswering) {
  const std::vector<Bytes> envelopes = {
      {}, {2}, {0, 7, 9, 'a'}, {1, 3, 1, 0, 0, 0, 0, 0}, {1, 7, 1, 'E', 3, 0, 0, 0, 0, 0},
  };
  for (size_t i = 0; i < envelopes.size(); ++i) {
    SCOPED_TRACE("envelope " + std::to_string(i));
    int calls = 0;
    flutter::MethodResultFunctions<EncodableValue> result(
        [&](const EncodableValue*) { ++calls; },
        [&](const std::string&, const std::string&, const EncodableValue*) { ++calls; },
        [&] { ++calls; });
    EXPECT_FALSE(Codec().DecodeAndProcessResponseEnvelope(envelopes[i].data(), envelopes[i].size(),
                                                          &result));
    EXPECT_EQ(calls, 0);
  }
}

TEST(StandinEncodableValue, ConvertsToTheIntendedAlternative) {
  EXPECT_TRUE(std::holds_alternative<std::string>(EncodableValue("text")));
  EXPECT_TRUE(std::holds_alternative<int32_t>(EncodableValue(5)));
  EXPECT_TRUE(std::holds_alternative<int64_t>(EncodableValue(int64_t{5})));
  EXPECT_TRUE(std::holds_alternative<bool>(EncodableValue(false)));
  EXPECT_TRUE(EncodableValue().IsNull());
  EXPECT_EQ(EncodableValue(7).LongValue(), 7);
  EXPECT_EQ(EncodableValue(int64_t{1} << 40).LongValue(), int64_t{1} << 40);

  EncodableValue value;
  value = "assigned";
  EXPECT_EQ(value, EncodableValue(std::string("assigned")));
}

}  // namespace
