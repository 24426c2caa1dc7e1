#include "channel/pipe_identity_win.h"

#include <cstdlib>

#include "common/os_error.h"
#include "common/handle_win.h"
#include "common/sids_win.h"
#include "log/log.h"

namespace corvid {

namespace {

// Ends an impersonation on every path. A thread that cannot return to the service's own identity
// must not go on serving with a client's: that is fatal.
class Impersonation {
 public:
  explicit Impersonation(HANDLE pipe) : active_(ImpersonateNamedPipeClient(pipe) != FALSE) {}
  Impersonation(const Impersonation&) = delete;
  Impersonation& operator=(const Impersonation&) = delete;
  ~Impersonation() {
    if (active_ && !RevertToSelf()) {
      log_line("ERROR: RevertToSelf failed: " + last_os_error_text());
      std::abort();
    }
  }
  bool active() const { return active_; }

 private:
  bool active_;
};

bool is_member(HANDLE token, WELL_KNOWN_SID_TYPE type) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  if (!CreateWellKnownSid(type, nullptr, sid, &size))
    return false;
  BOOL member = FALSE;
  return CheckTokenMembership(token, sid, &member) && member;
}

}  // namespace

bool token_is_privileged(HANDLE token) {
  // Under UAC an administrator's everyday token holds Administrators for deny only, and
  // CheckTokenMembership ignores such a group: only an elevated token counts.
  return is_member(token, WinLocalSystemSid) || is_member(token, WinBuiltinAdministratorsSid);
}

Caller identify_impersonated_thread() {
  WinHandle token;
  // Opened as the service: the client's token need not grant us anything.
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()))
    return Caller{false};
  Caller caller{.privileged = token_is_privileged(token.get()),
                .user_sid = token_user_sid(token.get()).value_or(std::string())};
  DWORD session = 0;
  DWORD size = 0;
  if (GetTokenInformation(token.get(), TokenSessionId, &session, sizeof session, &size))
    caller.session_id = session;
  return caller;
}

Caller identify_client(HANDLE pipe) {
  Caller caller;
  {
    const Impersonation as_client(pipe);
    if (!as_client.active())
      return Caller{false};
    caller = identify_impersonated_thread();
  }
  if (!caller.session_id) {
    ULONG session = 0;
    if (GetNamedPipeClientSessionId(pipe, &session))
      caller.session_id = session;
  }
  return caller;
}

}  // namespace corvid
