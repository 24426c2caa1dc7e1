// The supervisor with the Windows backend against the stand-in core, a real child process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/exe_dir.h"
#include "common/utf.h"
#include "supervisor/backend_win.h"
#include "supervisor/core.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using test::CoreRun;
using test::TempDir;

// What CreateProcessW says of a directory named as the program: access denied on Windows. Wine 8
// answers "invalid handle" instead; only real Windows shows the Windows code.
DWORD directory_as_program_error() {
  return test::running_under_wine() ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED;
}

std::string in_quotes(const std::string& text) {
  return "\"" + text + "\"";
}

// The copy a stand-in core started with "spawn", found among the recorded runs.
std::optional<CoreRun> spawned_by(const std::vector<CoreRun>& runs, std::uint32_t parent) {
  for (const CoreRun& run : runs) {
    if (run.argv.size() == 3 && run.argv[1] == "--spawned-by" &&
        run.argv[2] == std::to_string(parent))
      return run;
  }
  return std::nullopt;
}

class CoreProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.path().empty());
    work_dir = root / "inst dir \xC3\xA9";
    ASSERT_TRUE(test::make_directory(work_dir));
    core_path = test::install_fake_core(work_dir);
    ASSERT_FALSE(core_path.empty());
  }
  void TearDown() override { stop_core(state); }

  StartOptions options_in_work_dir(std::optional<std::string> config) const {
    StartOptions options;
    options.work_dir = work_dir;
    options.config = std::move(config);
    return options;
  }

  TempDir root{"corvid core"};
  std::string work_dir;
  std::string core_path;
  CoreState state{make_windows_backend()};
};

TEST_F(CoreProcessTest, LaunchesWithFixedArgumentsInWorkDirAndEndsWithExitCodeOne) {
  const Result<void> started = start_core(state, options_in_work_dir("run\n"), Caller::service());
  ASSERT_TRUE(started.has_value()) << detailed_text(started.error());

  const std::vector<CoreRun> runs = test::wait_for_core_runs(work_dir, 1);
  ASSERT_EQ(runs.size(), 1u);
  const CoreRun& run = runs[0];
  const std::string config_path = work_dir + "\\config.json";
  const std::string log_path = work_dir + "\\log\\clash.log";
  EXPECT_EQ(run.argv, (std::vector<std::string>{core_path, "-d", work_dir, "-c", config_path, "-l",
                                                log_path}));
  EXPECT_EQ(run.command_line, in_quotes(core_path) + " -d " + in_quotes(work_dir) + " -c " +
                                  in_quotes(config_path) + " -l " + in_quotes(log_path));
  EXPECT_EQ(run.cwd, work_dir);
  EXPECT_TRUE(test::is_directory(work_dir + "\\log"));

  const CoreStatus status = query_core_status(state);
  EXPECT_TRUE(status.running);
  EXPECT_EQ(status.pid, run.pid);

  WinHandle process = test::open_process(run.pid);
  ASSERT_TRUE(process.valid());
  stop_core(state);
  EXPECT_EQ(WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0) << "stop_core returned early";
  EXPECT_EQ(test::wait_exit_code(process.get()), 1u);
  EXPECT_FALSE(query_core_status(state).running);
}

TEST_F(CoreProcessTest, CreatesMissingDirectoriesAndPassesResolvedPaths) {
  // The core lives elsewhere; the work directory doesn't exist yet and is made by the start.
  const std::string new_work_dir = root / "new work\\below";
  StartOptions options;
  options.work_dir = new_work_dir;
  options.core_path = core_path;
  options.config_path = "cfg dir\\deep\\a.json";
  options.config = "run\n";
  const Result<void> first = start_core(state, options, Caller::service());
  ASSERT_TRUE(first.has_value()) << detailed_text(first.error());

  std::vector<CoreRun> runs = test::wait_for_core_runs(work_dir, 1);
  ASSERT_EQ(runs.size(), 1u);
  const std::string config_path = new_work_dir + "\\cfg dir\\deep\\a.json";
  EXPECT_EQ(runs[0].argv,
            (std::vector<std::string>{core_path, "-d", new_work_dir, "-c", config_path, "-l",
                                      new_work_dir + "\\log\\clash.log"}));
  EXPECT_EQ(runs[0].cwd, new_work_dir);
  EXPECT_TRUE(test::is_directory(new_work_dir + "\\log"));
  EXPECT_EQ(test::read_file(config_path), "run\n");

  // An absolute log path with missing ancestors, away from the work directory.
  const std::string log_path = root / "logs x\\deeper\\core.log";
  options.log_path = log_path;
  const Result<void> second = start_core(state, options, Caller::service());
  ASSERT_TRUE(second.has_value()) << detailed_text(second.error());
  runs = test::wait_for_core_runs(work_dir, 2);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1].argv.back(), log_path);
  EXPECT_TRUE(test::is_directory(root / "logs x\\deeper"));
  EXPECT_FALSE(test::is_file(log_path)) << "the core's log is the core's to create";
}

TEST_F(CoreProcessTest, AStopEndsWhatTheCoreStartedToo) {
  const Result<void> started =
      start_core(state, options_in_work_dir("spawn\nrun\n"), Caller::service());
  ASSERT_TRUE(started.has_value()) << detailed_text(started.error());
  const std::vector<CoreRun> runs = test::wait_for_core_runs(work_dir, 2);
  ASSERT_EQ(runs.size(), 2u);
  const std::optional<CoreRun> copy = spawned_by(runs, runs[0].pid);
  ASSERT_TRUE(copy.has_value()) << "the core's own child recorded no run";
  WinHandle core = test::open_process(runs[0].pid);
  WinHandle child = test::open_process(copy->pid);
  ASSERT_TRUE(core.valid());
  ASSERT_TRUE(child.valid());
  ASSERT_EQ(WaitForSingleObject(child.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  stop_core(state);
  EXPECT_EQ(test::wait_exit_code(core.get(), std::chrono::milliseconds(0)), 1u);
  EXPECT_EQ(test::wait_exit_code(child.get(), std::chrono::seconds(2)), 1u)
      << "the process the core started outlived the stop";
}

// The backend on its own.
class WindowsBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.path().empty());
    core_dir = root / "core dir";
    ASSERT_TRUE(test::make_directory(core_dir));
    core_path = test::install_fake_core(core_dir);
    ASSERT_FALSE(core_path.empty());
  }

  // Launches the stand-in with `config` as its configuration.
  Result<ChildProcess> launch(const std::string& config, const std::string& work_dir) {
    CoreLaunch paths{work_dir, core_path, root / "config.txt", root / "core.log"};
    EXPECT_TRUE(test::write_file(paths.config_path, config));
    return backend->create_process(core_path, core_command_line(paths), work_dir);
  }

  // The same launch as the Windows backend's own child, whose handles a test can look at.
  Result<std::unique_ptr<WindowsChild>> launch_windows(const std::string& config,
                                                       const std::string& work_dir) {
    CoreLaunch paths{work_dir, core_path, root / "config.txt", root / "core.log"};
    EXPECT_TRUE(test::write_file(paths.config_path, config));
    return WindowsChild::create(core_path, core_command_line(paths), work_dir);
  }

  PollResult poll_until_exited(ChildProcess& child) {
    Result<PollResult> result = child.poll();
    for (int i = 0; i < 1500 && result && result->state == PollResult::State::kRunning; ++i) {
      Sleep(20);
      result = child.poll();
    }
    EXPECT_TRUE(result.has_value()) << detailed_text(result.error());
    return result.value_or(PollResult{});
  }

  std::shared_ptr<CoreBackend> backend = make_windows_backend();
  TempDir root{"corvid backend"};
  std::string core_dir;
  std::string core_path;
};

TEST_F(WindowsBackendTest, InstallDirIsTheDirectoryOfTheRunningProgram) {
  EXPECT_EQ(backend->install_dir(), test::test_exe_dir());
  EXPECT_EQ(exe_dir(), test::test_exe_dir());
}

TEST_F(WindowsBackendTest, CreateDirectoriesMakesMissingAncestors) {
  ASSERT_TRUE(test::write_file(root / "a file", "x"));
  struct Case {
    std::string path;
    bool created;
  };
  const std::vector<Case> cases = {
      {root / "one\\two\\three", true},
      {root / "one\\two", true},  // already there
      {root / "trailing\\sep\\", true},
      {root / "forward/slashes/too", true},
      {root / "\xC3\xBC\xC3\xB1\xC3\xAF c\xC3\xB6"
              "de\\d\xC3\xAF r",
       true},
      {root.path(), true},
      {root / "a file", false},
      {root / "a file\\below", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(backend->create_directories(c.path).has_value(), c.created);
    EXPECT_EQ(test::is_directory(c.path), c.created);
  }
  EXPECT_TRUE(backend->create_directories("").has_value());
}

TEST_F(WindowsBackendTest, ExistsFollowsTheEntry) {
  EXPECT_TRUE(backend->exists(core_path));
  EXPECT_TRUE(backend->exists(core_dir));
  EXPECT_TRUE(backend->exists(core_dir + "\\"));
  EXPECT_FALSE(backend->exists(core_dir + "\\missing.exe"));
  EXPECT_FALSE(backend->exists(core_dir + "\\missing\\clash-rs.exe"));
  EXPECT_FALSE(backend->exists(core_path + "\\below"));
  EXPECT_FALSE(backend->exists(""));
}

TEST_F(WindowsBackendTest, TheCoreRunsInAJobOfItsOwnThatEndsItWhenClosed) {
  auto child = launch_windows("run", core_dir);
  ASSERT_TRUE(child.has_value()) << detailed_text(child.error());
  const WindowsChild& handles = **child;
  ASSERT_NE(handles.job(), nullptr);
  BOOL in_job = FALSE;
  ASSERT_TRUE(IsProcessInJob(handles.process(), handles.job(), &in_job));
  EXPECT_TRUE(in_job);
  ASSERT_TRUE(IsProcessInJob(GetCurrentProcess(), handles.job(), &in_job));
  EXPECT_FALSE(in_job) << "the helper must stay out of its core's job";
  // Wine 8 reads back no limit flags at all (and ends the job's processes on close all the
  // same, as the release test below shows); Windows reads back exactly the one that was set.
  if (!test::running_under_wine()) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    ASSERT_TRUE(QueryInformationJobObject(handles.job(), JobObjectExtendedLimitInformation, &limits,
                                          sizeof limits, nullptr));
    EXPECT_EQ(limits.BasicLimitInformation.LimitFlags,
              static_cast<DWORD>(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE));
  }
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(handles.job(), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u) << "a core holding its own job would never end";
  (*child)->terminate_and_wait(kCoreEndWait);
}

// The core gets the helper's own standard handles: here two files, and not inheritable, as a
// helper's handles need not be.
TEST_F(WindowsBackendTest, TheCoreWritesToTheHelpersStandardOutputAndError) {
  const std::string out_path = root / "helper out.txt";
  const std::string err_path = root / "helper err.txt";
  const auto create = [](const std::string& path) {
    return WinHandle(CreateFileW(to_wide(path).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  };
  WinHandle out = create(out_path);
  WinHandle err = create(err_path);
  ASSERT_TRUE(out.valid());
  ASSERT_TRUE(err.valid());
  const HANDLE saved_out = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE saved_err = GetStdHandle(STD_ERROR_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, out.get());
  SetStdHandle(STD_ERROR_HANDLE, err.get());
  auto child = launch("print caf\xC3\xA9 from the core\nexit 0", core_dir);
  SetStdHandle(STD_OUTPUT_HANDLE, saved_out);
  SetStdHandle(STD_ERROR_HANDLE, saved_err);
  ASSERT_TRUE(child.has_value()) << detailed_text(child.error());
  EXPECT_EQ(poll_until_exited(*child).state, PollResult::State::kExited);
  out.reset();
  err.reset();
  EXPECT_EQ(test::read_file(out_path), "caf\xC3\xA9 from the core\n");
  EXPECT_EQ(test::read_file(err_path), "caf\xC3\xA9 from the core\n");
}

// A handle the helper has open, even an inheritable one, stays the helper's: the core is given its
// standard handles and nothing else. Shown by sharing: once the helper closes its handle, the file
// opens exclusively only if no copy of the handle lives on in the core.
TEST_F(WindowsBackendTest, TheCoreInheritsNothingButItsStandardHandles) {
  const std::string path = root / "held by the helper.txt";
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  WinHandle held(CreateFileW(to_wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held.valid());
  auto child = launch("run", core_dir);
  ASSERT_TRUE(child.has_value()) << detailed_text(child.error());
  ASSERT_EQ(test::wait_for_core_runs(core_dir, 1).size(), 1u);
  held.reset();
  const WinHandle alone(CreateFileW(to_wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(alone.valid()) << "the core holds a copy of the helper's handle: error "
                             << GetLastError();
  child->terminate_and_wait(kCoreEndWait);
}

TEST_F(WindowsBackendTest, EmptyWorkDirMeansTheHelpersCurrentDirectory) {
  auto child = launch("exit 0", "");
  ASSERT_TRUE(child.has_value()) << detailed_text(child.error());
  const std::vector<CoreRun> runs = test::wait_for_core_runs(core_dir, 1);
  ASSERT_EQ(runs.size(), 1u);
  wchar_t current[MAX_PATH * 4];
  const DWORD length = GetCurrentDirectoryW(MAX_PATH * 4, current);
  EXPECT_EQ(runs[0].cwd, from_wide(std::wstring_view(current, length)));
  poll_until_exited(*child);
}

TEST_F(WindowsBackendTest, CreateProcessFailuresCarryTheOsErrorText) {
  const std::string not_a_program = root / "not a program.exe";
  ASSERT_TRUE(test::write_file(not_a_program, "plain text, not a program"));
  struct Case {
    const char* name;
    std::string program;
    std::string work_dir;
    DWORD error;
  };
  const std::vector<Case> cases = {
      {"directory", core_dir, core_dir, directory_as_program_error()},
      {"not an executable", not_a_program, core_dir, ERROR_BAD_EXE_FORMAT},
      {"missing work dir", core_path, root / "no such dir", ERROR_DIRECTORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto child = backend->create_process(c.program, in_quotes(c.program), c.work_dir);
    ASSERT_FALSE(child.has_value());
    EXPECT_EQ(child.error().message, test::os_error_for(c.error));
    EXPECT_EQ(child.error().os_code, c.error);
  }
  EXPECT_TRUE(test::read_core_runs(core_dir).empty());
}

}  // namespace
}  // namespace corvid
