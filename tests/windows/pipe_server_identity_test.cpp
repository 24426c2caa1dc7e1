// Who the client is. Under Wine every process is an administrator and impersonating a client
// takes on the server's own token, so a standard user's refusal shows only on real Windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include "channel/pipe_identity.h"
#include "common/win_handle.h"

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

TEST(ClientIdentity, AnAdministratorClientIsPrivilegedAndEveryImpersonationIsReverted) {
  ConnectedPipe pipe;
  ASSERT_TRUE(pipe.valid());
  ASSERT_FALSE(thread_has_token());

  const Caller caller = identify_client(pipe.server());
  EXPECT_TRUE(caller.privileged);
  EXPECT_FALSE(thread_has_token()) << "the identity check left the client's token on the thread";

  bool impersonating = false;
  bool privileged_inside = false;
  ASSERT_TRUE(caller.as_client);
  EXPECT_TRUE(caller.as_client([&] {
    WinHandle token;
    impersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()) != FALSE;
    if (impersonating)
      privileged_inside = token_is_privileged(token.get());
  }));
  EXPECT_TRUE(impersonating) << "the action did not run as the client";
  EXPECT_TRUE(privileged_inside);
  EXPECT_FALSE(thread_has_token()) << "the action's impersonation was not reverted";
}

// Windows also refuses to impersonate on an instance without a client; Wine takes on the
// server's own token there, so the refusal is shown with a handle that is no pipe at all.
TEST(ClientIdentity, WhenImpersonationFailsNothingIsPrivilegedAndNothingRunsAsTheClient) {
  const WinHandle not_a_pipe(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(not_a_pipe);
  const Caller caller = identify_client(not_a_pipe.get());
  EXPECT_FALSE(caller.privileged);
  bool ran = false;
  EXPECT_FALSE(caller.as_client([&] { ran = true; }));
  EXPECT_FALSE(ran);
  EXPECT_FALSE(thread_has_token());
}

TEST(ClientIdentity, TheServicesOwnTokenIsPrivileged) {
  WinHandle process_token;
  ASSERT_TRUE(
      OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, process_token.put()));
  WinHandle impersonation;
  ASSERT_TRUE(DuplicateToken(process_token.get(), SecurityImpersonation, impersonation.put()));
  EXPECT_TRUE(token_is_privileged(impersonation.get()));
}

}  // namespace
}  // namespace corvid
