#include "supervisor/security_win.h"

#include <aclapi.h>

#include "common/os_error.h"
#include "common/utf.h"
#include "common/handle_win.h"
#include "common/sids_win.h"

namespace corvid {

namespace {

Error call_failed(const char* function, DWORD code) {
  return context(std::string(function) + " failed", os_error(code));
}

Result<std::string> sid_text(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid))
    return std::unexpected(Error("invalid SID"));
  Result<std::string> text = sid_string(sid);
  if (!text)
    return std::unexpected(context("ConvertSidToStringSidW failed", std::move(text.error())));
  return std::move(*text);
}

// Where an object entry's SID starts: after the mask, the flags and whichever GUIDs are present.
PSID object_entry_sid(const ACCESS_ALLOWED_OBJECT_ACE* entry) {
  const BYTE* at = reinterpret_cast<const BYTE*>(&entry->ObjectType);
  if ((entry->Flags & ACE_OBJECT_TYPE_PRESENT) != 0)
    at += sizeof(GUID);
  if ((entry->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0)
    at += sizeof(GUID);
  return const_cast<BYTE*>(at);
}

AccessEntry entry_of(const ACE_HEADER* header) {
  AccessEntry entry;
  entry.flags = header->AceFlags;
  PSID sid = nullptr;
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE: {
      // The callback forms share the plain layout and append their condition after the SID.
      const auto* plain = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
      entry.mask = plain->Mask;
      sid = const_cast<DWORD*>(&plain->SidStart);
      break;
    }
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE: {
      const auto* object = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(header);
      entry.mask = object->Mask;
      sid = object_entry_sid(object);
      break;
    }
    case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
      // Grants to a server acting for a client; no SID is taken from it, so it counts as granting
      // to someone who is not an administrator.
      entry.mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->Mask;
      break;
    default:
      return entry;  // audit, alarm, label and the like carry no access
  }
  switch (header->AceType) {
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
      entry.kind = AccessEntry::Kind::kDeny;
      break;
    default:
      entry.kind = AccessEntry::Kind::kAllow;
      break;
  }
  // A SID that cannot be read stays empty: it is no administrator's.
  if (sid != nullptr) {
    if (Result<std::string> text = sid_text(sid))
      entry.sid = std::move(*text);
  }
  return entry;
}

}  // namespace

Result<SecuritySnapshot> snapshot_of(PSECURITY_DESCRIPTOR descriptor) {
  if (descriptor == nullptr || !IsValidSecurityDescriptor(descriptor))
    return std::unexpected(Error("invalid security descriptor"));
  SecuritySnapshot snapshot;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted))
    return std::unexpected(call_failed("GetSecurityDescriptorOwner", GetLastError()));
  if (owner != nullptr) {
    Result<std::string> text = sid_text(owner);
    if (!text)
      return std::unexpected(text.error());
    snapshot.owner = std::move(*text);
  }
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
    return std::unexpected(call_failed("GetSecurityDescriptorDacl", GetLastError()));
  // No DACL, or a NULL one, lets everyone in: the snapshot says so by having none.
  if (!present || dacl == nullptr)
    return snapshot;
  std::vector<AccessEntry> entries;
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* header = nullptr;
    if (!GetAce(dacl, index, &header))
      return std::unexpected(call_failed("GetAce", GetLastError()));
    entries.push_back(entry_of(static_cast<const ACE_HEADER*>(header)));
  }
  snapshot.dacl = std::move(entries);
  return snapshot;
}

Result<SecuritySnapshot> read_path_security(const std::string& path) {
  const std::wstring wide = to_wide(path);
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  const DWORD status = GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                             &owner, nullptr, &dacl, nullptr, descriptor.put());
  if (status != ERROR_SUCCESS)
    return std::unexpected(call_failed("GetNamedSecurityInfoW", status));
  return snapshot_of(descriptor.get());
}

}  // namespace corvid
