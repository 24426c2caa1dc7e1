// The plugin and the client wrapper compiled into the test, against the stand-in engine: the
// registrar manager's bookkeeping, and that an engine's shutdown frees everything the plugin's
// registration allocated. Global operator new and delete are replaced to count live blocks.

#include <flutter/encodable_value.h>
#include <flutter/method_call.h>
#include <flutter/method_result.h>
#include <flutter/plugin_registrar_windows.h>
#include <flutter/standard_method_codec.h>
#include <flutter_standin_engine.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "portwell_plugin.h"

// GCC sees the replaced operator new inlined into std::allocator and free() inlined into the
// replaced operator delete, and takes the pair for mismatched.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
std::atomic<std::int64_t> live_blocks{0};

// While recording, the blocks allocated and not yet freed, kept without allocating; and one
// watched block whose frees are counted. Used on the test's one thread.
struct Recorded {
  void* block;
  std::size_t size;
};
constexpr std::size_t kMostRecorded = 1024;
Recorded recorded[kMostRecorded];
std::size_t recorded_count = 0;
bool recording = false;
void* watched_block = nullptr;
int watched_frees = 0;

void* CountedAllocate(std::size_t size) noexcept {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) {
    live_blocks.fetch_add(1);
    if (recording && recorded_count < kMostRecorded) {
      recorded[recorded_count++] = {block, size};
    }
  }
  return block;
}

void CountedFree(void* block) noexcept {
  if (block != nullptr) {
    live_blocks.fetch_sub(1);
    if (block == watched_block) {
      ++watched_frees;
    }
    for (std::size_t i = 0; i < recorded_count; ++i) {
      if (recorded[i].block == block) {
        recorded[i] = {nullptr, 0};
      }
    }
    std::free(block);
  }
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* block = CountedAllocate(size)) {
    return block;
  }
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocate(size);
}
void operator delete(void* block) noexcept {
  CountedFree(block);
}
void operator delete[](void* block) noexcept {
  CountedFree(block);
}
void operator delete(void* block, std::size_t) noexcept {
  CountedFree(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  CountedFree(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
  CountedFree(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  CountedFree(block);
}

namespace {

using flutter::EncodableValue;

flutter::PluginRegistrarWindows* WrapperFor(FlutterDesktopPluginRegistrarRef registrar) {
  return flutter::PluginRegistrarManager::GetInstance()
      ->GetRegistrar<flutter::PluginRegistrarWindows>(registrar);
}

// Counts replies without allocating, so that it can run inside a counted stretch.
struct ReplyCount {
  int count = 0;
  size_t size = 0;
};

void CountReply(const uint8_t* /*data*/, size_t size, void* user_data) {
  auto* replies = static_cast<ReplyCount*>(user_data);
  ++replies->count;
  replies->size = size;
}

// "getPlatformVersion" with null arguments.
constexpr uint8_t kGetPlatformVersion[] = {7,   18,  'g', 'e', 't', 'P', 'l', 'a', 't', 'f', 'o',
                                           'r', 'm', 'V', 'e', 'r', 's', 'i', 'o', 'n', 0};

class ProbePlugin : public flutter::Plugin {
 public:
  explicit ProbePlugin(bool* destroyed) : destroyed_(destroyed) {}
  ~ProbePlugin() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

TEST(RegistrarManager, KeepsOneWrapperPerEngineRegistrar) {
  FlutterDesktopPluginRegistrarRef first = FlutterStandinCreateRegistrar();
  FlutterDesktopPluginRegistrarRef second = FlutterStandinCreateRegistrar();

  flutter::PluginRegistrarWindows* wrapper = WrapperFor(first);
  EXPECT_EQ(WrapperFor(first), wrapper);
  EXPECT_NE(WrapperFor(second), wrapper);
  EXPECT_NE(wrapper->messenger(), nullptr);

  EXPECT_EQ(FlutterStandinDestroyRegistrar(first), 0u);
  EXPECT_EQ(FlutterStandinDestroyRegistrar(second), 0u);
}

TEST(RegistrarManager, EngineShutdownDestroysTheWrapperWithItsPlugins) {
  FlutterDesktopPluginRegistrarRef registrar = FlutterStandinCreateRegistrar();
  bool probe_destroyed = false;
  flutter::PluginRegistrarWindows* wrapper = WrapperFor(registrar);
  portwell::PortwellPlugin::RegisterWithRegistrar(wrapper);
  wrapper->AddPlugin(std::make_unique<ProbePlugin>(&probe_destroyed));
  ASSERT_TRUE(FlutterStandinHasCallback(registrar, "portwell"));

  EXPECT_EQ(FlutterStandinDestroyRegistrar(registrar), 0u) << "a channel callback outlived it";
  EXPECT_TRUE(probe_destroyed);
}

TEST(PortwellRegistration, EngineShutdownFreesEverythingRegistrationAllocated) {
  // One full round first, so that lazily made singletons (the manager, the codec) exist
  // before counting starts.
  const auto round = [](std::int64_t* live_while_registered) {
    FlutterDesktopPluginRegistrarRef registrar = FlutterStandinCreateRegistrar();
    portwell::PortwellPlugin::RegisterWithRegistrar(WrapperFor(registrar));
    ReplyCount replies;
    FlutterStandinDeliverMessage(registrar, "portwell", kGetPlatformVersion,
                                 sizeof(kGetPlatformVersion), CountReply, &replies);
    *live_while_registered = live_blocks.load();
    const size_t left = FlutterStandinDestroyRegistrar(registrar);
    return std::make_pair(replies.count, left);
  };
  std::int64_t ignored = 0;
  round(&ignored);

  const std::int64_t before = live_blocks.load();
  std::int64_t during = 0;
  const auto [replies, callbacks_left] = round(&during);
  const std::int64_t after = live_blocks.load();

  EXPECT_EQ(replies, 1);
  EXPECT_EQ(callbacks_left, 0u);
  // The plugin, the wrapper registrar, its messenger and the channel handler were alive...
  EXPECT_GE(during - before, 4);
  // ...and are all gone.
  EXPECT_EQ(after, before);
}

// The plugin object itself: it lives exactly as long as the registrar that owns it, and is
// destroyed once, by the engine's destruction handler. It cannot be reached from outside, so it
// is found among the blocks its registration allocated by its dynamic type: the only block that
// begins with PortwellPlugin's virtual table pointer (where both the Itanium and the Microsoft
// C++ ABI put it, for a class with one polymorphic base).
TEST(PortwellRegistration, ThePluginGoesOnceAndOnlyWhenTheEngineDestroysTheRegistrar) {
  const void* plugin_vtable = nullptr;
  {
    const portwell::PortwellPlugin model;
    std::memcpy(&plugin_vtable, static_cast<const void*>(&model), sizeof plugin_vtable);
  }
  FlutterDesktopPluginRegistrarRef registrar = FlutterStandinCreateRegistrar();
  flutter::PluginRegistrarWindows* wrapper = WrapperFor(registrar);

  recorded_count = 0;
  recording = true;
  portwell::PortwellPlugin::RegisterWithRegistrar(wrapper);
  recording = false;
  int plugins = 0;
  for (std::size_t i = 0; i < recorded_count; ++i) {
    const void* first_word = nullptr;
    if (recorded[i].block == nullptr || recorded[i].size < sizeof first_word) {
      continue;
    }
    std::memcpy(&first_word, recorded[i].block, sizeof first_word);
    if (first_word == plugin_vtable) {
      watched_block = recorded[i].block;
      ++plugins;
    }
  }
  ASSERT_LT(recorded_count, kMostRecorded) << "the registration allocated more than was recorded";
  ASSERT_EQ(plugins, 1) << "the registration made no plugin, or more than one, that lives on";

  // Alive and answering while the engine runs, whatever comes through the channel.
  ReplyCount replies;
  FlutterStandinDeliverMessage(registrar, "portwell", kGetPlatformVersion,
                               sizeof(kGetPlatformVersion), CountReply, &replies);
  EXPECT_EQ(replies.count, 1);
  EXPECT_EQ(watched_frees, 0) << "the plugin went while its registrar lived";

  EXPECT_EQ(FlutterStandinDestroyRegistrar(registrar), 0u);
  EXPECT_EQ(watched_frees, 1) << "the engine's shutdown must destroy the plugin exactly once";
  watched_block = nullptr;
  watched_frees = 0;
}

class RecordingResult : public flutter::MethodResult<EncodableValue> {
 public:
  struct Record {
    int successes = 0;
    int errors = 0;
    int not_implemented = 0;
    bool released = false;
    EncodableValue value;
  };

  explicit RecordingResult(Record* record) : record_(record) {}
  ~RecordingResult() override { record_->released = true; }

 protected:
  void SuccessInternal(const EncodableValue* result) override {
    ++record_->successes;
    if (result != nullptr) {
      record_->value = *result;
    }
  }
  void ErrorInternal(const std::string&, const std::string&, const EncodableValue*) override {
    ++record_->errors;
  }
  void NotImplementedInternal() override { ++record_->not_implemented; }

 private:
  Record* record_;
};

TEST(PortwellHandleMethodCall, AnswersEachCallExactlyOnceAndReleasesTheResult) {
  struct Case {
    std::string method;
    EncodableValue arguments;
    bool implemented;
  };
  const std::vector<Case> cases = {
      {"getPlatformVersion", EncodableValue(), true},
      {"getPlatformVersion", EncodableValue("x"), true},
      {"getPlatformVersion", EncodableValue(flutter::EncodableList{EncodableValue(1)}), true},
      {"getPlatformVersion",
       EncodableValue(flutter::EncodableMap{{EncodableValue("a"), EncodableValue(2.5)}}), true},
      {"getplatformversion", EncodableValue(), false},
      {"getPlatformVersion ", EncodableValue(), false},
      {"", EncodableValue(), false},
  };
  portwell::PortwellPlugin plugin;
  std::string first_answer;
  for (const Case& c : cases) {
    SCOPED_TRACE("method \"" + c.method + "\"");
    RecordingResult::Record record;
    flutter::MethodCall<EncodableValue> call(c.method,
                                             std::make_unique<EncodableValue>(c.arguments));
    plugin.HandleMethodCall(call, std::make_unique<RecordingResult>(&record));

    EXPECT_TRUE(record.released);
    EXPECT_EQ(record.successes + record.errors + record.not_implemented, 1);
    if (!c.implemented) {
      EXPECT_EQ(record.not_implemented, 1);
      continue;
    }
    ASSERT_EQ(record.successes, 1);
    const auto* text = std::get_if<std::string>(&record.value);
    ASSERT_NE(text, nullptr) << "the answer is not a string";
    EXPECT_EQ(text->rfind("Windows ", 0), 0u) << *text;
    if (first_answer.empty()) {
      first_answer = *text;
    }
    EXPECT_EQ(*text, first_answer);
  }
}

}  // namespace
