#pragma once
// Well-known security identifiers, in their string form, as the security APIs write them.
// Portable, so that the decisions made on them can be tested anywhere.

namespace corvid {

inline constexpr const char* kLocalSystemSid = "S-1-5-18";
inline constexpr const char* kAdministratorsSid = "S-1-5-32-544";
inline constexpr const char* kTrustedInstallerSid =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
inline constexpr const char* kCreatorOwnerSid = "S-1-3-0";

}  // namespace corvid
