#include "platform/installer_staging.h"

#include <windows.h>
// After windows.h, which they build on.
#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

namespace tarnel::platform {
namespace {

// Below %ProgramData%, each level the service makes.
const char* const kStagingLevels[] = {"Tarnel", "Updater", "Installers"};
// SYSTEM and Administrators alone, inherited by everything inside; protected, so that
// nothing of %ProgramData%'s own entries (users may create folders there) reaches it.
constexpr char kStagingSddl[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr DWORD kCopyChunkBytes = 1 << 20;
// The rights that let their holder put something into a folder, swap or remove what it holds,
// or give itself those rights.
constexpr ACCESS_MASK kChangingRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                        DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                        GENERIC_ALL;

std::string ErrorText(DWORD error) { return "error " + std::to_string(error); }

std::string ProgramDataFolder() {
  char expanded[MAX_PATH] = {};
  const DWORD length = ExpandEnvironmentStringsA("%ProgramData%", expanded, MAX_PATH);
  if (length == 0 || length > MAX_PATH || expanded[0] == '%') return "C:\\ProgramData";
  return expanded;
}

// A security descriptor made from kStagingSddl, freed with the object.
class StagingSecurity {
 public:
  StagingSecurity() {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kStagingSddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
      descriptor = nullptr;
    }
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
  }
  ~StagingSecurity() {
    if (descriptor != nullptr) LocalFree(descriptor);
  }
  StagingSecurity(const StagingSecurity&) = delete;
  StagingSecurity& operator=(const StagingSecurity&) = delete;
  SECURITY_ATTRIBUTES* Attributes() { return descriptor != nullptr ? &attributes : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  SECURITY_ATTRIBUTES attributes{};
};

// The user of this process's token, copied; empty when it cannot be read.
std::vector<BYTE> OwnUser() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  std::vector<BYTE> sid;
  if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    sid.resize(GetLengthSid(user));
    CopySid(static_cast<DWORD>(sid.size()), sid.data(), user);
  }
  CloseHandle(token);
  return sid;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return IsWellKnownSid(sid, type) != FALSE; }

// SYSTEM, Administrators and the service's own account may change the staging folders.
bool IsTrusted(PSID sid, const std::vector<BYTE>& ownUser) {
  if (IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid)) {
    return true;
  }
  return !ownUser.empty() && EqualSid(sid, const_cast<BYTE*>(ownUser.data()));
}

// Why an existing folder must not hold staged installers; empty when it may: its owner and
// every entry of its DACL that grants a changing right must be trusted.
std::string UntrustedFolderReason(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return path + " is not a folder";
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD result = GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                             &owner, nullptr, &dacl, nullptr, &descriptor);
  if (result != ERROR_SUCCESS) return path + " cannot be examined: " + ErrorText(result);
  const std::vector<BYTE> ownUser = OwnUser();
  std::string reason;
  if (owner == nullptr || !IsTrusted(owner, ownUser)) {
    reason = path + " is owned by another account";
  } else if (dacl == nullptr) {
    reason = path + " grants everyone every right";
  } else {
    for (DWORD i = 0; i < dacl->AceCount && reason.empty(); ++i) {
      ACE_HEADER* header = nullptr;
      if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
        continue;
      }
      auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
      if ((allowed->Mask & kChangingRights) != 0 &&
          !IsTrusted(reinterpret_cast<PSID>(&allowed->SidStart), ownUser)) {
        reason = path + " is writable by others";
      }
    }
  }
  LocalFree(descriptor);
  return reason;
}

std::string WithoutTrailingSeparator(std::string path) {
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

// Removes everything in `folder` and the folder; a link inside is removed, never followed.
void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA entry;
  const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "\\" + name;
      const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      const bool isLink = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      if (isFolder && !isLink) {
        RemoveTree(path);
      } else if (isFolder) {
        RemoveDirectoryA(path.c_str());
      } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryA(folder.c_str());
}

// Copies the source's first `size` bytes to `target`. Empty on success, otherwise why not.
std::string CopyBytes(HANDLE source, uint64_t size, HANDLE target,
                      const std::atomic<bool>* cancel) {
  std::vector<char> chunk(kCopyChunkBytes);
  uint64_t offset = 0;
  while (offset < size) {
    if (cancel != nullptr && *cancel) return "the service is stopping";
    const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(chunk.size(), size - offset));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!ReadFile(source, chunk.data(), wanted, &read, &at)) {
      return "the installer cannot be read: " + ErrorText(GetLastError());
    }
    if (read == 0) return "the installer became shorter while it was copied";
    DWORD written = 0;
    if (!WriteFile(target, chunk.data(), read, &written, nullptr) || written != read) {
      return "the copy cannot be written: " + ErrorText(GetLastError());
    }
    offset += read;
  }
  return std::string();
}

}  // namespace

std::string StagingRoot() {
  std::string root = ProgramDataFolder();
  for (const char* name : kStagingLevels) root += std::string("\\") + name;
  return root + "\\";
}

// Makes each missing level of the staging root and checks every level below %ProgramData%.
bool PrepareStagingRoot(std::string* whyNot) {
  StagingSecurity security;
  if (security.Attributes() == nullptr) {
    *whyNot = "the staging folder's security cannot be built: " + ErrorText(GetLastError());
    return false;
  }
  std::string level = ProgramDataFolder();
  for (const char* name : kStagingLevels) {
    level += std::string("\\") + name;
    if (!CreateDirectoryA(level.c_str(), security.Attributes()) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      *whyNot = level + " cannot be created: " + ErrorText(GetLastError());
      return false;
    }
    *whyNot = UntrustedFolderReason(level);
    if (!whyNot->empty()) return false;
  }
  return true;
}

bool MakePrivateFolder(const std::string& path, std::string* whyNot) {
  StagingSecurity security;
  if (CreateDirectoryA(path.c_str(), security.Attributes())) return true;
  *whyNot = path + " cannot be created: " + ErrorText(GetLastError());
  return false;
}

bool FillRandom(unsigned char* bytes, size_t count) {
  return BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(count),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

bool RemoveStagingFolder(const std::string& folder) {
  const std::string target = WithoutTrailingSeparator(folder);
  RemoveTree(target);
  return GetFileAttributesA(target.c_str()) == INVALID_FILE_ATTRIBUTES;
}

int RemoveAbandonedStagingFolders() {
  const std::string root = WithoutTrailingSeparator(StagingRoot());
  if (!UntrustedFolderReason(root).empty()) return 0;
  std::vector<std::string> folders;
  WIN32_FIND_DATAA entry;
  const HANDLE search = FindFirstFileA((root + "\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return 0;
  do {
    const std::string name = entry.cFileName;
    if (name != "." && name != "..") folders.push_back(root + "\\" + name);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  // A running installer's image cannot be deleted, so its folder stays.
  int removed = 0;
  for (const std::string& folder : folders) {
    if (RemoveStagingFolder(folder)) ++removed;
  }
  return removed;
}

bool StageInstallerCopy(const HeldFile& source, const std::string& destination,
                        const std::atomic<bool>* cancel, HeldFile* staged, std::string* hexDigest,
                        std::string* whyNot) {
  if (!source.IsOpen()) {
    *whyNot = "the installer is not open";
    return false;
  }
  // CREATE_NEW: never an existing file. The folder's inherited DACL covers the copy.
  const HANDLE target = CreateFileA(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (target == INVALID_HANDLE_VALUE) {
    *whyNot = destination + " cannot be created: " + ErrorText(GetLastError());
    return false;
  }
  std::string reason =
      CopyBytes(reinterpret_cast<HANDLE>(source.NativeHandle()), source.Size(), target, cancel);
  if (!CloseHandle(target) && reason.empty()) {
    reason = "the copy cannot be written: " + ErrorText(GetLastError());
  }
  if (reason.empty() && !staged->Open(destination, &reason)) {
    reason = "the copy cannot be opened: " + reason;
  }
  // The system's digest tool reads the copy, which nobody but the service can change.
  if (reason.empty() && !staged->ComputeSha256(hexDigest)) {
    reason = "the digest of the copy cannot be computed";
  }
  if (!reason.empty()) {
    staged->Close();
    DeleteFileA(destination.c_str());
    *whyNot = reason;
    return false;
  }
  return true;
}

}  // namespace tarnel::platform
