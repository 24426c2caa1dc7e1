// Plays the Flutter runner and the Dart side: loads portwell_plugin.dll by name, registers it
// with a stand-in engine and talks to it in raw channel messages. The standard codec is written
// out by hand here, so the plugin's codec and the test's share nothing.

#include <windows.h>

#include <flutter_standin_engine.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using RegisterFunction = void (*)(FlutterDesktopPluginRegistrarRef);

constexpr char kChannel[] = "portwell";

Bytes operator+(Bytes lhs, const Bytes& rhs) {
  lhs.insert(lhs.end(), rhs.begin(), rhs.end());
  return lhs;
}

Bytes EncodedSize(size_t size) {
  if (size < 254) {
    return {static_cast<uint8_t>(size)};
  }
  if (size <= 0xFFFF) {
    return {254, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)};
  }
  return {255, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
          static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)};
}

Bytes StringValue(std::string_view text) {
  return Bytes{7} + EncodedSize(text.size()) + Bytes(text.begin(), text.end());
}

// A method call: the name as a string value, then the arguments' value.
Bytes Call(std::string_view method, const Bytes& arguments = {0}) {
  return StringValue(method) + arguments;
}

// The text of a success reply holding one string value; nothing for any other reply.
std::optional<std::string> SuccessText(const Bytes& reply) {
  if (reply.size() < 3 || reply[0] != 0 || reply[1] != 7) {
    return std::nullopt;
  }
  size_t position = 2;
  size_t size = reply[position++];
  if (size == 254) {
    if (reply.size() < position + 2) {
      return std::nullopt;
    }
    size = reply[position] | reply[position + 1] << 8;
    position += 2;
  } else if (size == 255) {
    return std::nullopt;  // no version text is that long
  }
  if (reply.size() != position + size) {
    return std::nullopt;
  }
  return std::string(reply.begin() + static_cast<std::ptrdiff_t>(position), reply.end());
}

struct Replies {
  int count = 0;
  Bytes last;
};

void RecordReply(const uint8_t* data, size_t size, void* user_data) {
  auto* replies = static_cast<Replies*>(user_data);
  ++replies->count;
  replies->last.assign(data, data + size);
}

// What getPlatformVersion must say on the Windows this runs on: given by the caller (the
// per-version script) or else derived from the kernel's own version numbers, which, unlike
// VerifyVersionInfoW, no manifest influences.
std::string ExpectedPlatformVersion() {
  // MSVC deprecates the CRT's environment reader; the value is read as Windows keeps it.
  wchar_t given[256];
  const DWORD length = GetEnvironmentVariableW(L"PORTWELL_EXPECTED_REPLY", given, 256);
  if (length > 0 && length < 256) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, given, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, given, static_cast<int>(length), text.data(), size, nullptr,
                        nullptr);
    return text;
  }
  using RtlGetVersionFunction = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  auto rtl_get_version = reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (rtl_get_version == nullptr || rtl_get_version(&info) != 0) {
    ADD_FAILURE() << "RtlGetVersion is not available";
    return {};
  }
  const auto at_least = [&info](DWORD major, DWORD minor) {
    return info.dwMajorVersion > major ||
           (info.dwMajorVersion == major && info.dwMinorVersion >= minor);
  };
  if (at_least(10, 0)) {
    return "Windows 10+";
  }
  if (at_least(6, 2)) {
    return "Windows 8";
  }
  if (at_least(6, 1)) {
    return "Windows 7";
  }
  return "Windows ";
}

class PluginHost : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A runner never unloads its plugins, and neither does the host.
    module_ = LoadLibraryW(L"portwell_plugin.dll");
    load_error_ = GetLastError();
    if (module_ != nullptr) {
      register_ = reinterpret_cast<RegisterFunction>(reinterpret_cast<void (*)()>(
          GetProcAddress(module_, "PortwellPluginCApiRegisterWithRegistrar")));
    }
  }

  void SetUp() override {
    ASSERT_NE(module_, nullptr) << "LoadLibraryW(portwell_plugin.dll) failed: " << load_error_;
    ASSERT_NE(register_, nullptr) << "PortwellPluginCApiRegisterWithRegistrar is not exported";
    registrar_ = FlutterStandinCreateRegistrar();
    register_(registrar_);
  }

  void TearDown() override {
    if (registrar_ != nullptr) {
      EXPECT_EQ(FlutterStandinRejectedResponseCount(registrar_), 0u)
          << "the plugin answered a message twice";
      EXPECT_EQ(FlutterStandinOutgoingMessageCount(registrar_), 0u);
      EXPECT_EQ(FlutterStandinDestroyRegistrar(registrar_), 0u);
    }
  }

  // Sends message on the channel and returns its reply, checking that exactly one came.
  static Bytes Exchange(FlutterDesktopPluginRegistrarRef registrar, const Bytes& message) {
    Replies replies;
    EXPECT_TRUE(FlutterStandinDeliverMessage(registrar, kChannel, message.data(), message.size(),
                                             RecordReply, &replies))
        << "no callback on the channel";
    EXPECT_EQ(replies.count, 1) << "every message is answered exactly once";
    EXPECT_EQ(FlutterStandinOpenResponseCount(registrar), 0u);
    EXPECT_EQ(FlutterStandinRejectedResponseCount(registrar), 0u);
    return replies.last;
  }

  Bytes Exchange(const Bytes& message) const { return Exchange(registrar_, message); }

  static inline HMODULE module_ = nullptr;
  static inline DWORD load_error_ = 0;
  static inline RegisterFunction register_ = nullptr;
  FlutterDesktopPluginRegistrarRef registrar_ = nullptr;
};

class PlatformVersion : public PluginHost {};

TEST_F(PlatformVersion, NamesTheWindowsFamilyItRunsOn) {
  const std::optional<std::string> text = SuccessText(Exchange(Call("getPlatformVersion")));
  ASSERT_TRUE(text.has_value()) << "not a success reply with a string";
  std::cout << "getPlatformVersion answered \"" << *text << "\"" << std::endl;
  EXPECT_EQ(*text, ExpectedPlatformVersion());
}

TEST_F(PluginHost, RegistersOnlyThePortwellChannel) {
  EXPECT_TRUE(FlutterStandinHasCallback(registrar_, "portwell"));
  for (const char* other : {"Portwell", "portwell ", "portwel", "portwell/"}) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(FlutterStandinHasCallback(registrar_, other));
  }
}

TEST_F(PluginHost, OtherMethodNamesAreNotImplemented) {
  const std::vector<std::string> names = {
      "getplatformversion",
      "GetPlatformVersion",
      "GETPLATFORMVERSION",
      "getPlatformVersion ",
      " getPlatformVersion",
      "getPlatformVersion\n",
      std::string("getPlatformVersion\0", 19),
      "getPlatformVersio",
      "getPlatformVersionX",
      "platformVersion",
      "",
      "ping",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE("method \"" + name + "\"");
    for (const Bytes& arguments : {Bytes{0}, StringValue("getPlatformVersion")}) {
      EXPECT_TRUE(Exchange(Call(name, arguments)).empty()) << "expected the empty reply";
    }
  }
}

TEST_F(PluginHost, ArgumentsChangeNothing) {
  const Bytes plain = Exchange(Call("getPlatformVersion"));
  ASSERT_TRUE(SuccessText(plain).has_value());

  struct Case {
    const char* what;
    Bytes arguments;
  };
  // "getPlatformVersion" takes 20 bytes, so a float64 argument's type byte sits at 20 and its
  // payload is aligned to 24.
  const std::vector<Case> cases = {
      {"true", {1}},
      {"false", {2}},
      {"int32", {3, 0x2A, 0, 0, 0}},
      {"int64", {4, 1, 2, 3, 4, 5, 6, 7, 8}},
      {"float64", {6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}},
      {"string", StringValue("10+")},
      {"long string", StringValue(std::string(300, 'x'))},
      {"bytes", {8, 3, 1, 2, 3}},
      {"list", {12, 2, 3, 1, 0, 0, 0, 7, 1, 'a'}},
      {"map", {13, 1, 7, 1, 'k', 1}},
      {"nothing after the name", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Exchange(Call("getPlatformVersion", c.arguments)), plain);
  }
}

TEST_F(PluginHost, RepeatedCallsGetTheSameAnswerOnceEach) {
  const Bytes first = Exchange(Call("getPlatformVersion"));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(Exchange(Call("getPlatformVersion")), first);
    EXPECT_TRUE(Exchange(Call("getplatformversion")).empty());
  }
}

TEST_F(PluginHost, UndecodableMessagesAreAnsweredOnceAndEmpty) {
  const std::vector<Bytes> messages = {
      {},
      {3, 1, 0, 0, 0, 0},
      {7, 0x20, 'g', 'e', 't'},
      StringValue("getPlatformVersion") + Bytes{7, 5, 'a'},
      StringValue("getPlatformVersion") + Bytes{99},
      StringValue("getPlatformVersion") + Bytes{12, 255, 255, 255, 255, 255},
  };
  for (size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE("message " + std::to_string(i));
    EXPECT_TRUE(Exchange(messages[i]).empty());
  }
}

TEST_F(PluginHost, EachEngineHasItsOwnRegistration) {
  FlutterDesktopPluginRegistrarRef second = FlutterStandinCreateRegistrar();
  EXPECT_FALSE(FlutterStandinHasCallback(second, kChannel));
  register_(second);
  const Bytes answer = Exchange(second, Call("getPlatformVersion"));
  EXPECT_TRUE(SuccessText(answer).has_value());
  EXPECT_EQ(Exchange(Call("getPlatformVersion")), answer);

  EXPECT_EQ(FlutterStandinDestroyRegistrar(second), 0u);
  // The first engine's registration is untouched by the second one's shutdown.
  EXPECT_EQ(Exchange(Call("getPlatformVersion")), answer);
}

TEST_F(PluginHost, EngineShutdownRemovesTheChannelCallback) {
  const Bytes answer = Exchange(Call("getPlatformVersion"));
  ASSERT_TRUE(FlutterStandinHasCallback(registrar_, kChannel));

  // Zero: nothing of the plugin's is left registered once the destruction handler has run.
  EXPECT_EQ(FlutterStandinDestroyRegistrar(registrar_), 0u);
  registrar_ = nullptr;

  // A new engine gets a fresh registration, not the destroyed one's leftovers.
  registrar_ = FlutterStandinCreateRegistrar();
  EXPECT_FALSE(FlutterStandinHasCallback(registrar_, kChannel));
  register_(registrar_);
  EXPECT_EQ(Exchange(Call("getPlatformVersion")), answer);
}

}  // namespace
