#pragma once
// Who is on the other end of a pipe connection.

#include <windows.h>

#include "supervisor/core.h"

namespace corvid {

// Privileged: LocalSystem, or a member of Administrators whose token is elevated. The caller acts
// on the client's behalf by impersonating it. A client whose identity cannot be read is not
// privileged. Call only after a request has been read from the pipe.
Caller identify_client(HANDLE pipe);

// Whether an impersonation token belongs to LocalSystem or an enabled Administrators member.
bool token_is_privileged(HANDLE token);

}  // namespace corvid
