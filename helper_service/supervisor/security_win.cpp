#include "supervisor/security_win.h"

#include <aclapi.h>

#include <algorithm>

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
    CORVID_TRY_ASSIGN(snapshot.owner, sid_text(owner));
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

namespace {

// The entry itself, whatever it is: a link is not followed, a directory opens too (backup
// semantics). Neither right asked for is subject to sharing, so an entry held open without any
// (a running core, a log being written) is read all the same.
WinHandle open_entry_itself(const std::string& path, DWORD access) {
  return WinHandle(CreateFileW(
      to_wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

class WindowsInstallReader final : public InstallReader {
 public:
  Result<std::optional<InstallEntry>> read_entry(const std::string& path) override {
    return read_install_entry(path);
  }
  Result<std::vector<std::string>> list_entries(const std::string& dir) override {
    return list_directory_entries(dir);
  }
  Result<VolumeKind> volume_kind(const std::string& path) override { return volume_kind_of(path); }
};

}  // namespace

Result<std::optional<InstallEntry>> read_install_entry(const std::string& path) {
  const WinHandle entry = open_entry_itself(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
  if (!entry) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return std::nullopt;
    return std::unexpected(context("CreateFileW failed", os_error(error)));
  }
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(entry.get(), FileAttributeTagInfo, &tag, sizeof tag))
    return std::unexpected(last_os_error("GetFileInformationByHandleEx failed"));
  InstallEntry found;
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    found.reparse_tag = tag.ReparseTag;
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  const DWORD status = GetSecurityInfo(entry.get(), SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       &owner, nullptr, &dacl, nullptr, descriptor.put());
  if (status != ERROR_SUCCESS)
    return std::unexpected(call_failed("GetSecurityInfo", status));
  CORVID_TRY_ASSIGN(found.security, snapshot_of(descriptor.get()));
  return found;
}

Result<std::vector<std::string>> list_directory_entries(const std::string& dir) {
  const WinHandle handle = open_entry_itself(dir, FILE_LIST_DIRECTORY);
  if (!handle)
    return std::unexpected(last_os_error("CreateFileW failed"));
  std::vector<std::string> names;
  // Records are aligned to 8 bytes within the buffer.
  std::vector<LONGLONG> buffer(8192);
  for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;;
       kind = FileIdBothDirectoryInfo) {
    if (!GetFileInformationByHandleEx(handle.get(), kind, buffer.data(),
                                      static_cast<DWORD>(buffer.size() * sizeof(LONGLONG)))) {
      if (GetLastError() == ERROR_NO_MORE_FILES)
        return names;
      return std::unexpected(last_os_error("GetFileInformationByHandleEx failed"));
    }
    const BYTE* at = reinterpret_cast<const BYTE*>(buffer.data());
    for (;;) {
      const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
      const std::wstring_view name(record->FileName, record->FileNameLength / sizeof(WCHAR));
      if (name != L"." && name != L"..")
        names.push_back(from_wide(name));
      if (record->NextEntryOffset == 0)
        break;
      at += record->NextEntryOffset;
    }
  }
}

Result<VolumeKind> volume_kind_of(const std::string& path) {
  const std::wstring wide = to_wide(path);
  std::wstring volume(std::max<std::size_t>(wide.size() + 2, MAX_PATH + 1), L'\0');
  if (!GetVolumePathNameW(wide.c_str(), volume.data(), static_cast<DWORD>(volume.size())))
    return std::unexpected(last_os_error("GetVolumePathNameW failed"));
  switch (GetDriveTypeW(volume.c_str())) {
    case DRIVE_FIXED:
      return VolumeKind::kFixed;
    case DRIVE_REMOVABLE:
      return VolumeKind::kRemovable;
    case DRIVE_REMOTE:
      return VolumeKind::kRemote;
    default:
      return VolumeKind::kOther;
  }
}

InstallReader& windows_install_reader() {
  static WindowsInstallReader reader;
  return reader;
}

}  // namespace corvid
