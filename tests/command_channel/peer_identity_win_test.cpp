// The Windows look-up of a pipe client's user: a client of this very process must come out
// as this process, its token's user and its administrator membership. (Under Wine every
// process is the same administrator; the counting per user is shown in caller_limits_test.)
#include <gtest/gtest.h>
#include <windows.h>
// windows.h first: sddl.h needs its types.
#include <sddl.h>

#include <string>
#include <vector>

#include "command_channel/ipc_client.h"
#include "platform/peer_identity.h"
#include "platform/pipe.h"

namespace tarnel {
namespace {

std::string OwnUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  std::string result;
  char* text = nullptr;
  if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
      ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    result = text;
    LocalFree(text);
  }
  CloseHandle(token);
  return result;
}

bool IsOwnProcessAdministrator() {
  unsigned char sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
         CheckTokenMembership(nullptr, sid, &member) && member;
}

TEST(PeerIdentityWin, ClientOfThisProcessIsItsOwnUser) {
  const std::string name = "tarnel_peer_identity_" + std::to_string(GetCurrentProcessId());
  platform::PipeEndpoint endpoint(name, "D:P(A;OICI;GA;;;BA)(A;OICI;GA;;;IU)(D;OICI;GA;;;WD)");
  ASSERT_TRUE(endpoint.CreateInstance());
  IPCClient client(false);
  ASSERT_TRUE(client.Connect(name, /*retry=*/true));
  platform::ScopedPipe connected;
  ASSERT_TRUE(endpoint.WaitForClient(&connected));
  platform::PeerIdentity peer;
  ASSERT_TRUE(platform::LookUpPeer(connected.Get(), &peer));
  const std::string sid = OwnUserSid();
  ASSERT_FALSE(sid.empty());
  EXPECT_EQ(peer.user, "user " + sid);
  EXPECT_EQ(peer.processId, static_cast<long>(GetCurrentProcessId()));
  EXPECT_EQ(peer.privileged, IsOwnProcessAdministrator());
  EXPECT_TRUE(peer.refusal.empty());
}

// A client that writes its command and ends before its connection is accepted (a
// registration has no reply) is served: the pipe's descriptor admitted it, and its user,
// which can no longer be read, is the one unknown user.
TEST(PeerIdentityWin, ClientWhoseProcessHasEndedIsAdmittedAsTheUnknownUser) {
  const std::string name = "tarnel_peer_ended_" + std::to_string(GetCurrentProcessId());
  platform::PipeEndpoint endpoint(name, "D:P(A;OICI;GA;;;BA)(A;OICI;GA;;;IU)(D;OICI;GA;;;WD)");
  ASSERT_TRUE(endpoint.CreateInstance());
  std::string command = "cmd.exe /c echo x> " + platform::PipePath(name);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &startup, &child));
  platform::ScopedPipe connected;
  ASSERT_TRUE(endpoint.WaitForClient(&connected));
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
  const long childId = static_cast<long>(child.dwProcessId);
  // Once its last handle is closed the ended process goes, soon but not at once.
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  bool gone = false;
  for (int i = 0; i < 500 && !gone; ++i) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, child.dwProcessId);
    gone = process == nullptr;
    if (process != nullptr) CloseHandle(process);
    if (!gone) Sleep(20);
  }
  ASSERT_TRUE(gone) << "the ended client process can still be opened";
  platform::PeerIdentity peer;
  ASSERT_TRUE(platform::LookUpPeer(connected.Get(), &peer));
  EXPECT_EQ(peer.user, platform::kUnknownUser);
  EXPECT_EQ(peer.processId, childId);
  EXPECT_FALSE(peer.privileged);
  EXPECT_TRUE(peer.refusal.empty());
}

TEST(PeerIdentityWin, HandleThatIsNoPipeHasNoPeer) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  platform::PeerIdentity peer;
  EXPECT_FALSE(platform::LookUpPeer(reinterpret_cast<platform::PipeHandle>(event), &peer));
  CloseHandle(event);
}

}  // namespace
}  // namespace tarnel
