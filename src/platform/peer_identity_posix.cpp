// The peer of a Unix socket connection: its credentials at connect time, and the channel's
// access rule, which the socket's mode 0666 cannot express.
#include "platform/peer_identity.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace tarnel::platform {
namespace {

// The gid of the admitted group; false when the group does not exist (yet).
bool AdmittedGroupId(gid_t* gid) {
  std::vector<char> buffer(1024);
  for (;;) {
    group entry{};
    group* found = nullptr;
    const int error = getgrnam_r(kAdmittedGroup, &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return false;
    *gid = found->gr_gid;
    return true;
  }
}

// The peer's supplementary groups as the kernel recorded them at connect time; empty where
// the kernel does not tell (before Linux 4.13).
std::vector<gid_t> PeerGroups(int fd) {
  std::vector<gid_t> groups(64);
  for (;;) {
    socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
      groups.resize(size / sizeof(gid_t));
      return groups;
    }
    // ERANGE tells the size needed.
    if (errno != ERANGE || size <= groups.size() * sizeof(gid_t)) return {};
    groups.resize(size / sizeof(gid_t));
  }
}

bool IsInAdmittedGroup(int fd, gid_t primaryGroup) {
  gid_t admitted = 0;
  if (!AdmittedGroupId(&admitted)) return false;
  if (primaryGroup == admitted) return true;
  const std::vector<gid_t> groups = PeerGroups(fd);
  return std::find(groups.begin(), groups.end(), admitted) != groups.end();
}

bool HasLoginSession(uid_t uid) { return sd_uid_get_sessions(uid, 0, nullptr) > 0; }

}  // namespace

bool LookUpPeer(PipeHandle pipe, PeerIdentity* peer) {
  const int fd = static_cast<int>(pipe);
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    return false;
  }
  peer->user = "uid " + std::to_string(credentials.uid);
  peer->processId = credentials.pid;
  // The service's own user (when it does not run as root, as in development) holds all the
  // service holds already; the service's own wake-up connection at stop comes from it too.
  peer->privileged = credentials.uid == 0 || credentials.uid == geteuid();
  peer->refusal.clear();
  if (peer->privileged || IsInAdmittedGroup(fd, credentials.gid) ||
      HasLoginSession(credentials.uid)) {
    return true;
  }
  peer->refusal = std::string("not root, not a member of the group ") + kAdmittedGroup +
                  " and without a login session";
  return true;
}

}  // namespace tarnel::platform
