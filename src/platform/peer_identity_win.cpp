// The client of a named pipe instance: its process, the user of that process's token, and
// whether the token is an administrator's.
#include "platform/peer_identity.h"

#include <windows.h>
// windows.h first: sddl.h needs its types.
#include <sddl.h>

#include <memory>
#include <vector>

namespace tarnel::platform {
namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

bool TokenUserSid(HANDLE token, std::string* sid) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<unsigned char> buffer(size);
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return false;
  char* text = nullptr;
  if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    return false;
  }
  *sid = text;
  LocalFree(text);
  return true;
}

// CheckTokenMembership needs an impersonation token; a process token is a primary one.
bool IsAdministratorToken(HANDLE token) {
  HANDLE duplicate = nullptr;
  if (!DuplicateToken(token, SecurityIdentification, &duplicate)) return false;
  const ScopedHandle identification(duplicate);
  unsigned char sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sidSize)) return false;
  BOOL member = FALSE;
  return CheckTokenMembership(duplicate, sid, &member) && member;
}

// The user of the process's token and whether it is an administrator's; false when the
// process has ended or its token cannot be read.
bool ReadProcessUser(ULONG processId, PeerIdentity* peer) {
  const ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return false;
  HANDLE token = nullptr;
  if (!OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_DUPLICATE, &token)) return false;
  const ScopedHandle tokenOwner(token);
  std::string sid;
  if (!TokenUserSid(token, &sid)) return false;
  peer->user = "user " + sid;
  peer->privileged = IsAdministratorToken(token);
  return true;
}

}  // namespace

bool LookUpPeer(PipeHandle pipe, PeerIdentity* peer) {
  ULONG processId = 0;
  if (!GetNamedPipeClientProcessId(reinterpret_cast<HANDLE>(pipe), &processId)) return false;
  peer->processId = static_cast<long>(processId);
  // A client that wrote its command and closed may have ended before its connection is
  // accepted: its user is then unknown. The pipe's security descriptor admitted it all the
  // same, so it is served, counted with every other client whose user is unknown.
  if (!ReadProcessUser(processId, peer)) {
    peer->user = kUnknownUser;
    peer->privileged = false;
  }
  peer->refusal.clear();
  return true;
}

}  // namespace tarnel::platform
