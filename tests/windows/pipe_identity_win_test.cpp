// Who the client is, and what that allows. Under Wine every process is an administrator and
// impersonating a pipe client takes on the server's own token, so a standard user connecting over
// the pipe shows only on real Windows (scripts/windows/check-standard-user.ps1). Wine does honour
// deny-only groups, so a restricted copy of this process's token, with Administrators for deny
// only, stands in for a standard user here: it is what UAC gives an administrator who has not
// elevated.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "channel/pipe_identity_win.h"
#include "common/handle_win.h"
#include "common/sids_win.h"
#include "supervisor/backend_win.h"
#include "test_support_win.h"

namespace corvid {
namespace {

std::wstring private_pipe_name() {
  return L"\\\\.\\pipe\\corvid-identity-test-" + std::to_wstring(GetCurrentProcessId());
}

// Whether this thread is impersonating anyone; false means it runs as the process itself.
bool thread_has_token() {
  WinHandle token;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    return false;
  }
  return true;
}

class ConnectedPipe {
 public:
  ConnectedPipe() : name_(private_pipe_name()) {
    server_.reset(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                                   4096, 0, nullptr));
    client_.reset(CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr));
    if (!ConnectNamedPipe(server_.get(), nullptr)) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_CONNECTED));
    }
    DWORD moved = 0;
    WriteFile(client_.get(), "x\n", 2, &moved, nullptr);
    char byte[8];
    ReadFile(server_.get(), byte, sizeof byte, &moved, nullptr);
  }
  HANDLE server() const { return server_.get(); }
  bool valid() const { return server_.valid() && client_.valid(); }

 private:
  std::wstring name_;
  WinHandle server_;
  WinHandle client_;
};

// This process's token as an impersonation token.
WinHandle own_token() {
  WinHandle process_token;
  EXPECT_TRUE(
      OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, process_token.put()));
  WinHandle impersonation;
  EXPECT_TRUE(DuplicateToken(process_token.get(), SecurityImpersonation, impersonation.put()));
  return impersonation;
}

// The same, with Administrators for deny only.
WinHandle token_without_administrators() {
  WinHandle process_token;
  EXPECT_TRUE(
      OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, process_token.put()));
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  EXPECT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
  SID_AND_ATTRIBUTES deny_only{administrators, 0};
  WinHandle restricted;
  EXPECT_TRUE(CreateRestrictedToken(process_token.get(), 0, 1, &deny_only, 0, nullptr, 0, nullptr,
                                    restricted.put()))
      << GetLastError();
  WinHandle impersonation;
  EXPECT_TRUE(DuplicateToken(restricted.get(), SecurityImpersonation, impersonation.put()));
  return impersonation;
}

// Runs this thread as the token's owner until it goes out of scope.
class ImpersonatingThread {
 public:
  explicit ImpersonatingThread(HANDLE token) : active_(SetThreadToken(nullptr, token) != FALSE) {}
  ~ImpersonatingThread() {
    if (active_) {
      EXPECT_TRUE(RevertToSelf());
    }
  }
  bool active() const { return active_; }

 private:
  bool active_;
};

TEST(ClientIdentity, AnAdministratorClientIsPrivilegedAndTheImpersonationIsReverted) {
  ConnectedPipe pipe;
  ASSERT_TRUE(pipe.valid());
  ASSERT_FALSE(thread_has_token());
  const Caller caller = identify_client(pipe.server());
  EXPECT_TRUE(caller.privileged);
  EXPECT_FALSE(thread_has_token()) << "the identity check left the client's token on the thread";
  // Its user and session are this process's own: the client is this process.
  WinHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
  EXPECT_EQ(caller.user_sid, token_user_sid(token.get()).value_or("(unreadable)"));
  DWORD session = 0;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
  EXPECT_EQ(caller.session_id, std::optional<std::uint32_t>(session));
}

// Windows also refuses to impersonate on an instance without a client; Wine takes on the
// server's own token there, so the refusal is shown with a handle that is no pipe at all.
TEST(ClientIdentity, WhenImpersonationFailsTheClientIsNotPrivileged) {
  const WinHandle not_a_pipe(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(not_a_pipe);
  const Caller caller = identify_client(not_a_pipe.get());
  EXPECT_FALSE(caller.privileged);
  EXPECT_EQ(caller.user_sid, "");
  EXPECT_EQ(caller.session_id, std::nullopt);
  EXPECT_FALSE(thread_has_token());
}

TEST(ClientIdentity, WhoCountsAsPrivileged) {
  struct Case {
    const char* name;
    WinHandle token;
    bool privileged;
  };
  Case cases[] = {
      {"this process's token, duplicated for impersonation", own_token(), true},
      {"the same with Administrators for deny only", token_without_administrators(), false},
  };
  for (Case& c : cases) {
    ASSERT_TRUE(c.token) << c.name;
    EXPECT_EQ(token_is_privileged(c.token.get()), c.privileged) << c.name;
    const ImpersonatingThread as(c.token.get());
    ASSERT_TRUE(as.active()) << c.name;
    EXPECT_EQ(identify_impersonated_thread().privileged, c.privileged) << c.name;
  }
  // A thread that impersonates no one is no client.
  ASSERT_FALSE(thread_has_token());
  EXPECT_FALSE(identify_impersonated_thread().privileged);
}

// The whole way, with the Windows backend: the caller comes from the impersonated token and the
// start is judged on real paths.
TEST(ClientIdentity, AnUnprivilegedThreadIsRefusedThroughTheWindowsBackend) {
  const test::TempDir elsewhere("corvid elsewhere");
  ASSERT_FALSE(elsewhere.path().empty());
  const std::string install = test::test_exe_dir();
  const std::string system_cmd = R"(C:\windows\system32\cmd.exe)";
  struct Case {
    StartOptions options;
    std::string error;
  };
  const Case cases[] = {
      {{.core_path = system_cmd}, "core path not allowed: " + system_cmd},
      {{.core_path = install + R"(\corvid_fake_core.exe)"},
       "core path not allowed: " + install + R"(\corvid_fake_core.exe)"},
      {{.work_dir = elsewhere.path(), .core_path = install + R"(\clash-rs.exe)"},
       "work dir not allowed: " + elsewhere.path()},
      {{.config_path = elsewhere / "a.json", .config = "x"},
       "config path not allowed: " + elsewhere / "a.json"},
      {{.log_path = elsewhere / R"(log\c.log)"},
       "log path not allowed: " + elsewhere / R"(log\c.log)"},
      {{.log_path = install + "\\a\nb.log"},
       "log path not allowed: " + install + R"(\a\u000ab.log)"},
      // A folder of the app's own inside the install directory is no default either.
      {{.config_path = install + R"(\data\app.so)", .config = "x"},
       "config path not allowed: " + install + R"(\data\app.so)"},
      // The defaults: then the install directory itself is judged. What this user built is this
      // user's, on Wine and on Windows alike, so it is not admin-only.
      {{.config = "x"}, "install directory is writable by non-administrators: " + install},
  };
  const WinHandle token = token_without_administrators();
  ASSERT_TRUE(token);
  for (const Case& c : cases) {
    CoreState state{make_windows_backend()};
    Result<void> started;
    {
      const ImpersonatingThread as(token.get());
      ASSERT_TRUE(as.active());
      const Caller caller = identify_impersonated_thread();
      EXPECT_FALSE(caller.privileged);
      started = start_core(state, c.options, caller);
    }
    ASSERT_FALSE(started.has_value()) << c.error;
    EXPECT_EQ(short_text(started.error()), c.error);
    EXPECT_FALSE(state.keep_running) << c.error;
    EXPECT_FALSE(state.launch.has_value()) << c.error;
    EXPECT_FALSE(state.child.has_value()) << c.error;
  }
  // Nothing was written anywhere.
  EXPECT_FALSE(test::is_file(elsewhere / "a.json"));
  EXPECT_FALSE(test::is_directory(elsewhere / "log"));
  EXPECT_FALSE(test::is_file(install + R"(\data\app.so)"));
}

// The same start for this process's own token goes through the rules and is written.
TEST(ClientIdentity, APrivilegedThreadNamesAnyPath) {
  const test::TempDir elsewhere("corvid elsewhere");
  ASSERT_FALSE(elsewhere.path().empty());
  const WinHandle token = own_token();
  ASSERT_TRUE(token);
  CoreState state{make_windows_backend()};
  Result<void> started;
  {
    const ImpersonatingThread as(token.get());
    ASSERT_TRUE(as.active());
    const Caller caller = identify_impersonated_thread();
    EXPECT_TRUE(caller.privileged);
    started = start_core(state,
                         {.core_path = elsewhere / "missing.exe",
                          .config_path = elsewhere / "a.json",
                          .config = "x"},
                         caller);
  }
  ASSERT_FALSE(started.has_value());
  EXPECT_EQ(short_text(started.error()), "core not found: " + elsewhere / "missing.exe");
  EXPECT_EQ(test::read_file(elsewhere / "a.json"), "x");
  stop_core(state);
}

}  // namespace
}  // namespace corvid
