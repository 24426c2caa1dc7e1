#pragma once
// Who is on the other end of a pipe connection.

#include <windows.h>

#include "supervisor/core.h"

namespace corvid {

// Privileged: LocalSystem, or a member of Administrators whose token is elevated; with the
// client's user SID (TokenUser; empty when it cannot be read) and its session (TokenSessionId,
// else the pipe's GetNamedPipeClientSessionId). A client whose identity cannot be read is not
// privileged and has neither. Call only after a request has been read from the pipe. The
// client's identity is taken on only for the check, and given up before it returns.
Caller identify_client(HANDLE pipe);

// The same judgement for whoever the calling thread is impersonating; a thread that impersonates
// no one is not privileged (it would be the service itself, which never asks) and has no user.
Caller identify_impersonated_thread();

// Whether an impersonation token belongs to LocalSystem or an enabled Administrators member.
bool token_is_privileged(HANDLE token);

}  // namespace corvid
