#pragma once
// Whether the test runs under Wine, where a few promises of Windows do not hold.

namespace corvid::testing {

// False off Windows.
bool running_under_wine();

}  // namespace corvid::testing
