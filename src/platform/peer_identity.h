// Who is at the other end of an accepted pipe connection, as the system vouches for it, and
// whether the channel's access rule admits that caller.
//
// Windows: the pipe's security descriptor has already admitted the client (administrators
// and interactive users); the user is read from the client process's token.
// POSIX: the Unix socket admits every local user, so the rule is applied here, from the
// peer's credentials at connect time (SO_PEERCRED, SO_PEERGROUPS): root (and the service's
// own user), members of the system group `tarnel`, and users with at least one login session
// (sd-login) are admitted.
#pragma once

#include <string>

#include "platform/pipe.h"

namespace tarnel::platform {

// The system group whose members are admitted on POSIX without a login session.
constexpr char kAdmittedGroup[] = "tarnel";

// The user of a caller whose user the system cannot tell any more (Windows: a client process
// that has already ended); all such callers count as this one user.
constexpr char kUnknownUser[] = "an unknown user";

struct PeerIdentity {
  // The caller's user as text, also the key its connections and log lines are counted by:
  // "uid 1000" (POSIX) or "user S-1-5-21-..." (Windows, the SID of the token's user).
  std::string user;
  // The connecting process: SO_PEERCRED's pid, or GetNamedPipeClientProcessId.
  long processId = 0;
  // Admitted without a bound: a token that is a member of the built-in Administrators group
  // (Windows); root, or the user the service itself runs as (POSIX).
  bool privileged = false;
  // Empty when the access rule admits the caller; otherwise why it does not.
  std::string refusal;
};

// Fills *peer for the client connected on `pipe` (a connection accepted by PipeEndpoint) and
// reads nothing from it. False when the system cannot tell which process connected: the pipe
// has no client process id (Windows), or the socket has no peer credentials (POSIX).
// Windows: GetNamedPipeClientProcessId, then OpenProcess + OpenProcessToken, TokenUser, and
// CheckTokenMembership with the built-in Administrators group. A client process that has
// already ended (it wrote its command and closed before the connection was accepted), or
// whose token cannot be read, is kUnknownUser, not privileged, and still admitted: the pipe's
// security descriptor admitted it.
// POSIX: may ask logind (sd_uid_get_sessions) and the group database (getgrnam_r) for a
// caller that is not root; both are local look-ups that do not block on the caller.
bool LookUpPeer(PipeHandle pipe, PeerIdentity* peer);

}  // namespace tarnel::platform
