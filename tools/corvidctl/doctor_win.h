#pragma once
// corvidctl doctor: checks the installed helper from the service's registration to the core's
// status, and says what it found, line by line.

namespace corvid::corvidctl {

// Prints the report (JSON when `json`); returns kExitOk when every check passed, else
// kExitDoctorFailed.
int run_doctor(bool json);

}  // namespace corvid::corvidctl
