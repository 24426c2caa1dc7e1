// The contract of the supervisor's seam (backend.h), which every backend keeps: one typed suite,
// run against the test double everywhere and, in the Windows build (CORVID_WINDOWS_BACKEND),
// against the Windows backend with the stand-in core as a real child. Where the two part, the
// one that contradicts Windows is at fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "supervisor/core.h"

#include "fake_backend.h"
#if defined(CORVID_WINDOWS_BACKEND)
#include <windows.h>

#include "common/utf.h"
#include "supervisor/backend_win.h"
#include "test_support_win.h"
#endif

namespace corvid {
namespace {

// The test double: processes and files are records.
class FakeWorld {
 public:
  CoreBackend& backend() { return *fake_; }
  std::string dir() const { return testing::FakeBackend::kInstallDir; }
  Result<ChildProcess> launch(const std::string& script) {
    const std::string core = dir() + "\\clash-rs.exe";
    Result<ChildProcess> child = fake_->create_process(core, "\"" + core + "\"", dir());
    if (child && script.starts_with("exit "))
      fake_->exit_process(child->process_id(),
                          static_cast<std::uint32_t>(std::stoul(script.substr(5))));
    return child;
  }
  bool ends(std::uint32_t pid) { return fake_->process(pid).exited; }
  std::optional<std::string> read(const std::string& path) { return fake_->file(path); }
  bool is_directory(const std::string& path) {
    const std::vector<std::string> made = fake_->directories();
    return std::find(made.begin(), made.end(), path) != made.end();
  }
  void link_elsewhere(const std::string& name, const std::string&) {
    fake_->set_oddity(name, testing::FakeBackend::Oddity::kHardLinked);
  }
  std::shared_ptr<void> hold_open(const std::string& path) {
    fake_->hold_open(path);
    return nullptr;
  }
  // The double writes nothing beside the file it writes.
  std::vector<std::string> leftovers() { return {}; }

 private:
  std::shared_ptr<testing::FakeBackend> fake_ = std::make_shared<testing::FakeBackend>();
};

#if defined(CORVID_WINDOWS_BACKEND)

// The Windows backend on real files, its children the stand-in core.
class WindowsWorld {
 public:
  WindowsWorld() : core_(test::install_fake_core(root_.path())) {}

  CoreBackend& backend() { return *backend_; }
  std::string dir() const { return root_.path(); }
  // A core that does what `script` (the stand-in's configuration) says.
  Result<ChildProcess> launch(const std::string& script) {
    const std::string config = root_ / ("script " + std::to_string(++launches_) + ".txt");
    EXPECT_TRUE(test::write_file(config, script));
    const CoreLaunch paths{root_.path(), core_, config, root_ / "core.log"};
    return backend_->create_process(core_, core_command_line(paths), root_.path());
  }
  // Whether the process has ended, waiting for it generously.
  static bool ends(std::uint32_t pid) {
    const WinHandle process = test::open_process(pid);
    return !process.valid() || test::wait_exit_code(process.get()).has_value();
  }
  std::optional<std::string> read(const std::string& path) { return test::read_file(path); }
  void put(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(test::write_file(path, bytes));
  }
  bool is_directory(const std::string& path) { return test::is_directory(path); }
  // `name` becomes a second name of another file, which keeps `bytes`.
  void link_elsewhere(const std::string& name, const std::string& bytes) {
    const std::string other = elsewhere_ / "other file";
    put(other, bytes);
    DeleteFileW(to_wide(name).c_str());
    ASSERT_TRUE(CreateHardLinkW(to_wide(name).c_str(), to_wide(other).c_str(), nullptr));
  }
  // Opened for reading by another program, which shares everything but delete.
  static std::shared_ptr<void> hold_open(const std::string& path) {
    auto held = std::make_shared<WinHandle>(
        CreateFileW(to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(held->valid());
    return held;
  }
  std::vector<std::string> leftovers() {
    std::vector<std::string> found;
    WIN32_FIND_DATAW entry{};
    const HANDLE search = FindFirstFileW(to_wide(root_ / "*.new").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
      return found;
    do {
      found.push_back(from_wide(entry.cFileName));
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return found;
  }

 private:
  test::TempDir root_{"corvid contract"};
  test::TempDir elsewhere_{"corvid contract elsewhere"};
  std::string core_;
  std::shared_ptr<CoreBackend> backend_ = make_windows_backend();
  int launches_ = 0;
};

#endif

// Polls until the core has ended, generously.
PollResult poll_until_ended(ChildProcess& child) {
  Result<PollResult> polled = child.poll();
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (polled && polled->state == PollResult::State::kRunning &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    polled = child.poll();
  }
  EXPECT_TRUE(polled.has_value()) << detailed_text(polled.error());
  return polled.value_or(PollResult{});
}

template <class World>
class BackendContract : public ::testing::Test {
 protected:
  World world;
};

#if defined(CORVID_WINDOWS_BACKEND)
using Worlds = ::testing::Types<FakeWorld, WindowsWorld>;
#else
using Worlds = ::testing::Types<FakeWorld>;
#endif
TYPED_TEST_SUITE(BackendContract, Worlds);

TYPED_TEST(BackendContract, PollSeesTheCoreRunningThenItsExitCode) {
  Result<ChildProcess> running = this->world.launch("run");
  ASSERT_TRUE(running.has_value()) << detailed_text(running.error());
  EXPECT_EQ(running->poll().value().state, PollResult::State::kRunning);
  EXPECT_NE(running->process_id(), 0u);
  for (const std::uint32_t code : {0u, 3u, 0xC0000005u}) {
    Result<ChildProcess> child = this->world.launch("exit " + std::to_string(code));
    ASSERT_TRUE(child.has_value()) << detailed_text(child.error());
    EXPECT_NE(child->process_id(), running->process_id());
    const PollResult ended = poll_until_ended(*child);
    EXPECT_EQ(ended.state, PollResult::State::kExited) << code;
    EXPECT_EQ(ended.exit_code, code);
  }
  running->terminate_and_wait(kCoreEndWait);
}

TYPED_TEST(BackendContract, EndingSaysTheCoreEndedWithExitCodeOneAndAgainIsHarmless) {
  Result<ChildProcess> child = this->world.launch("run");
  ASSERT_TRUE(child.has_value()) << detailed_text(child.error());
  for (int time = 0; time < 2; ++time) {
    EXPECT_TRUE(child->terminate_and_wait(kCoreEndWait));
    const Result<PollResult> polled = child->poll();
    ASSERT_TRUE(polled.has_value());
    EXPECT_EQ(polled->state, PollResult::State::kExited);
    EXPECT_EQ(polled->exit_code, 1u);
  }
}

// A core the helper lets go of would otherwise run on unseen, beside the one that replaces it.
TYPED_TEST(BackendContract, DroppingAChildEndsTheCore) {
  std::optional<ChildProcess> child = this->world.launch("run").value();
  const std::uint32_t pid = child->process_id();
  child.reset();
  EXPECT_TRUE(this->world.ends(pid));
}

TYPED_TEST(BackendContract, WriteFileReplacesTheBytesExactlyOrNamesTheOsError) {
  const std::string path = this->world.dir() + "\\out.txt";
  const std::string cases[] = {
      std::string(100000, 'x'),
      std::string("\xEF\xBB\xBF BOM, NUL\0 and CR LF\r\n caf\xC3\xA9", 31),
      "",
  };
  for (const std::string& bytes : cases) {
    ASSERT_TRUE(this->world.backend().write_file(path, bytes).has_value());
    EXPECT_EQ(this->world.read(path), bytes);
  }
  const Result<void> on_directory = this->world.backend().write_file(this->world.dir(), "x");
  ASSERT_FALSE(on_directory.has_value());
  EXPECT_EQ(on_directory.error().os_code, 5u);  // access denied
  EXPECT_TRUE(detailed_text(on_directory.error()).ends_with("(os error 5)"))
      << detailed_text(on_directory.error());
}

// A standard user's files: what is refused names its field and its entry and writes nothing;
// what fails is a failure.
TYPED_TEST(BackendContract, CoreFilesAreRefusedForTheirFieldOrWrittenThroughTheirHandle) {
  const CoreFiles files = core_files(this->world.dir());
  ASSERT_TRUE(this->world.backend().prepare_core_files(files, std::nullopt).has_value());
  EXPECT_TRUE(this->world.is_directory(files.log_dir));
  EXPECT_EQ(this->world.read(files.config_path), std::nullopt) << "no configuration, no file";
  ASSERT_TRUE(this->world.backend().prepare_core_files(files, "mixed-port: 7890\n").has_value());
  EXPECT_EQ(this->world.read(files.config_path), "mixed-port: 7890\n");

  const CoreFiles missing = core_files(this->world.dir() + "\\missing");
  const Result<void> no_dir = this->world.backend().prepare_core_files(missing, "x");
  ASSERT_FALSE(no_dir.has_value());
  EXPECT_EQ(no_dir.error().kind, ErrorKind::kRefusal);
  EXPECT_EQ(no_dir.error().subject, static_cast<int>(StartField::kWorkDir));
  EXPECT_EQ(no_dir.error().os_code, 2u);  // file not found
  EXPECT_TRUE(no_dir.error().message.starts_with(missing.install_dir + ": "));
  EXPECT_TRUE(no_dir.error().message.ends_with("(os error 2)")) << no_dir.error().message;
  EXPECT_FALSE(this->world.is_directory(missing.log_dir));

  this->world.link_elsewhere(files.config_path, "the other file's bytes");
  const std::optional<std::string> before = this->world.read(files.config_path);
  const Result<void> linked = this->world.backend().prepare_core_files(files, "evil");
  ASSERT_FALSE(linked.has_value());
  EXPECT_EQ(linked.error(), refusal(static_cast<int>(StartField::kConfigPath),
                                    files.config_path + ": has 2 links"));
  EXPECT_EQ(this->world.read(files.config_path), before);
}

// Never written in place: a configuration that cannot be replaced stays as it was, and the new
// file is gone.
TYPED_TEST(BackendContract, AFileHeldWithoutDeleteSharingIsNotReplacedAndNothingIsLeft) {
  const CoreFiles files = core_files(this->world.dir());
  ASSERT_TRUE(this->world.backend().write_file(files.config_path, "old").has_value());
  const std::shared_ptr<void> reader = this->world.hold_open(files.config_path);
  for (const auto& write : {std::function<Result<void>()>([&] {
                              return this->world.backend().write_file(files.config_path, "new");
                            }),
                            std::function<Result<void>()>([&] {
                              return this->world.backend().prepare_core_files(files, "new");
                            })}) {
    const Result<void> written = write();
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().kind, ErrorKind::kFailure);
    EXPECT_EQ(written.error().message,
              "cannot replace " + files.config_path + ": another program may hold it open");
    EXPECT_TRUE(written.error().os_code.has_value());
    EXPECT_EQ(this->world.read(files.config_path), "old");
    EXPECT_EQ(this->world.leftovers(), std::vector<std::string>{});
  }
}

TYPED_TEST(BackendContract, AConfigurationThatIsADirectoryIsAFailedWrite) {
  const CoreFiles files = core_files(this->world.dir());
  ASSERT_TRUE(this->world.backend().create_directories(files.config_path).has_value());
  const Result<void> written = this->world.backend().prepare_core_files(files, "x");
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, ErrorKind::kFailure);
  EXPECT_EQ(written.error().os_code, 5u);
}

}  // namespace
}  // namespace corvid
