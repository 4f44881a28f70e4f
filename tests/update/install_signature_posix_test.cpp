// Publisher trust on Linux: with a publisher certificate in CONFIGURATION_DIRECTORY, only
// installers with a detached CMS signature of that publisher are started. Keys and
// certificates are made by the openssl tool when the tests run; signatures are made the way
// operations.md tells a publisher to make them.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>

#include "install_fixture.h"

namespace tarnel::testing {
namespace {

const std::string kPrefix = "UpdaterManagerWindows::NewPackageReadyToInstall: ";
const std::string kCheckFailed =
    kPrefix + "installer signature check failed. Trying to reset PendingUpdate...";
const char kPublisherSubject[] = "CN=Tarnel Test Publisher";

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

struct Identity {
  std::string certificate;
  std::string key;
};

// A P-256 key and a certificate for `subject`: self-signed (a CA certificate, as
// "openssl req -x509" makes it) or, with an issuer, issued by it.
Identity MakeIdentity(const std::string& folder, const std::string& name,
                      const std::string& subject, const Identity* issuer = nullptr) {
  const Identity made{folder + name + ".pem", folder + name + ".key"};
  const bool keyMade =
      Run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + made.key);
  bool certificateMade = false;
  if (issuer == nullptr) {
    certificateMade =
        Run("openssl req -x509 -new -key " + made.key + " -subj '" + subject +
            "' -days 30 -addext extendedKeyUsage=codeSigning -out " + made.certificate);
  } else {
    const std::string request = folder + name + ".csr";
    certificateMade =
        Run("openssl req -new -key " + made.key + " -subj '" + subject + "' -out " + request) &&
        Run("openssl x509 -req -in " + request + " -CA " + issuer->certificate + " -CAkey " +
            issuer->key + " -CAcreateserial -days 30 -out " + made.certificate);
  }
  EXPECT_TRUE(keyMade && certificateMade) << "openssl could not make " << name;
  return made;
}

// Made once per test program.
struct Identities {
  Identities() : folder(MakeTempFolder("identities")) {
    publisher = MakeIdentity(folder, "publisher", std::string("/") + kPublisherSubject);
    issuedByPublisher = MakeIdentity(folder, "issued", "/CN=Tarnel Build Signer", &publisher);
    stranger = MakeIdentity(folder, "stranger", "/CN=Someone Else");
    // Same name as the publisher, another key: the name alone must not be enough.
    impostor = MakeIdentity(folder, "impostor", std::string("/") + kPublisherSubject);
  }
  std::string folder;
  Identity publisher, issuedByPublisher, stranger, impostor;
};

const Identities& Keys() {
  static const Identities identities;
  return identities;
}

bool Sign(const std::string& installer, const Identity& signer) {
  return Run("openssl cms -sign -binary -outform DER -in " + installer + " -signer " +
             signer.certificate + " -inkey " + signer.key + " -out " + installer + ".sig");
}

class SignedInstallTest : public InstallTest {
 protected:
  void SetUp() override {
    InstallTest::SetUp();
    ASSERT_TRUE(platform::GetEnvironmentValue("CONFIGURATION_DIRECTORY", &savedConfiguration));
    configuration = MakeTempFolder("configuration");
    platform::SetEnvironmentValue("CONFIGURATION_DIRECTORY", configuration);
    publisherFile = configuration + "publisher.pem";
    std::filesystem::copy_file(Keys().publisher.certificate, publisherFile);
    chmod(publisherFile.c_str(), 0644);
  }

  void TearDown() override {
    platform::SetEnvironmentValue("CONFIGURATION_DIRECTORY", savedConfiguration);
    InstallTest::TearDown();
  }

  // Registers the installer as it now is, with its current digest.
  void RegisterAsItIs() {
    ASSERT_TRUE(ComputeFileSha256(installer, digest));
    Register(installer, digest, "/opt/product");
  }

  std::string savedConfiguration;
  std::string configuration;
  std::string publisherFile;
};

TEST_F(SignedInstallTest, InstallerSignedByThePublisherOrByACertificateItIssuedIsStarted) {
  for (const Identity* signer : {&Keys().publisher, &Keys().issuedByPublisher}) {
    std::filesystem::remove(argsFile);
    ASSERT_TRUE(Sign(installer, *signer));
    RegisterAsItIs();
    LogCapture log;
    EXPECT_TRUE(manager.Install("", "")) << signer->certificate << "\n" << log.Text();
    EXPECT_EQ(WaitForRecordedArguments(), RecordedArguments({"/S", "/U", "/R", "/D=/opt/product"}));
    EXPECT_EQ(StoredFlag(), 0u);
  }
}

// A shell reads a script as it runs it. A publisher-signed script, registered from a file
// its caller owns and rewritten by the caller while it runs: the caller's lines never run,
// because what runs is the service's own copy.
TEST_F(SignedInstallTest, SignedScriptRewrittenByItsOwnerWhileItRunsRunsOnlyThePublishersLines) {
  const std::string started = folder + "started";
  const std::string go = folder + "go";
  const std::string genuine = folder + "genuine";
  const std::string evil = folder + "evil";
  const std::string head =
      "#!/bin/sh\ntouch " + started + "\nwhile [ ! -e " + go + " ]; do sleep 0.05; done\n";
  const std::string tail = "touch " + genuine + "\n";
  std::string rewrittenTail = "touch " + evil + "\n";
  rewrittenTail.resize(std::max(rewrittenTail.size(), tail.size()), '#');
  ASSERT_TRUE(WriteFile(installer, head + tail));
  ASSERT_TRUE(Sign(installer, Keys().publisher));
  RegisterAsItIs();
  ASSERT_TRUE(manager.Install("", ""));
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(started); }));
  // The owner rewrites, in place, the lines the shell has not read yet.
  std::ofstream(installer, std::ios::binary | std::ios::in | std::ios::out) << head + rewrittenTail;
  ASSERT_TRUE(WriteFile(go, ""));
  EXPECT_TRUE(WaitUntil([&] { return manager.installations.Running() == 0; }));
  EXPECT_TRUE(std::filesystem::exists(genuine)) << "the publisher's lines ran";
  EXPECT_FALSE(std::filesystem::exists(evil)) << "the caller's lines ran as the service";
}

TEST_F(SignedInstallTest, PublisherIsLoggedOnceWhenLoaded) {
  LogCapture log;
  manager.LoadInstallerPublisher();
  EXPECT_TRUE(
      log.Contains(LevelName(LogLevel::INFO) + " | Installer publisher: " + kPublisherSubject))
      << log.Text();
}

// Each attack leaves a digest that matches, so only the signature check stands in the way.
TEST_F(SignedInstallTest, InstallersWithoutThePublishersSignatureAreRefused) {
  const struct {
    const char* what;
    std::function<void()> prepare;
    std::string reason;
  } cases[] = {
      {"no signature", [] {}, "the installer has no signature (no file "},
      {"signed by a stranger", [&] { ASSERT_TRUE(Sign(installer, Keys().stranger)); },
       "the installer is not signed by the publisher (certificate verify error"},
      {"signed with another key under the publisher's name",
       [&] { ASSERT_TRUE(Sign(installer, Keys().impostor)); },
       "the installer is not signed by the publisher (certificate verify error"},
      {"changed after signing, new digest registered",
       [&] {
         ASSERT_TRUE(Sign(installer, Keys().publisher));
         std::ofstream(installer, std::ios::binary | std::ios::app) << "appended";
       },
       "the installer's signature does not match its content ("},
      {"signature file that is no signature",
       [&] { ASSERT_TRUE(WriteFile(installer + ".sig", "not a signature")); },
       "the installer has no signature (" + installer + ".sig is not a DER CMS signature)"},
      {"signature file that is a named pipe",
       [&] { ASSERT_EQ(mkfifo((installer + ".sig").c_str(), 0644), 0); },
       "the installer has no signature (" + installer + ".sig is not a regular file)"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(installer + ".sig");
    c.prepare();
    RegisterAsItIs();
    LogCapture log;
    EXPECT_FALSE(manager.Install("", "")) << c.what;
    EXPECT_EQ(StoredFlag(), 0u) << c.what;
    const std::string text = log.Text();
    EXPECT_NE(text.find(Error(kPrefix + c.reason)), std::string::npos) << c.what << "\n" << text;
    EXPECT_LT(text.find(Error(kPrefix + c.reason)), text.find(Error(kCheckFailed))) << c.what;
    EXPECT_EQ(text.find("Launch installation"), std::string::npos) << c.what;
  }
  EXPECT_FALSE(std::filesystem::exists(argsFile)) << "no refused installer may run";
}

// A publisher file that cannot serve never means "no publisher": a properly signed
// installer is refused until the file is fixed.
TEST_F(SignedInstallTest, PublisherFileThatCannotServeStartsNothing) {
  ASSERT_TRUE(Sign(installer, Keys().publisher));
  RegisterAsItIs();
  const struct {
    const char* what;
    std::function<void()> breakIt;
    std::string problem;
  } cases[] = {
      {"writable by others", [&] { chmod(publisherFile.c_str(), 0646); },
       " is writable by group or others"},
      {"writable by the group", [&] { chmod(publisherFile.c_str(), 0664); },
       " is writable by group or others"},
      {"owned by another user", [&] { ASSERT_EQ(chown(publisherFile.c_str(), 65534, 65534), 0); },
       " is not owned by root"},
      {"not a certificate", [&] { ASSERT_TRUE(WriteFile(publisherFile, "-----BEGIN NOTHING")); },
       " holds no PEM certificate"},
      {"a symbolic link",
       [&] {
         std::filesystem::remove(publisherFile);
         std::filesystem::create_symlink(Keys().publisher.certificate, publisherFile);
       },
       " is a symbolic link"},
      {"a folder",
       [&] {
         std::filesystem::remove(publisherFile);
         std::filesystem::create_directory(publisherFile);
       },
       " is not a regular file"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(publisherFile);
    std::filesystem::copy_file(Keys().publisher.certificate, publisherFile);
    chmod(publisherFile.c_str(), 0644);
    c.breakIt();
    StoreDword("PendingUpdate", 1);
    LogCapture log;
    manager.LoadInstallerPublisher();
    EXPECT_FALSE(manager.Install("", "")) << c.what;
    EXPECT_EQ(StoredFlag(), 0u) << c.what;
    const std::string text = log.Text();
    EXPECT_TRUE(log.Contains(Error("Installer publisher: " + publisherFile + c.problem +
                                   ", no installer is started until it is fixed")))
        << c.what << "\n"
        << text;
    EXPECT_TRUE(log.Contains(Error(kPrefix + "the publisher certificate cannot be used (" +
                                   publisherFile + c.problem + ")")))
        << c.what << "\n"
        << text;
    EXPECT_TRUE(log.Contains(Error(kCheckFailed))) << c.what;
  }
  EXPECT_FALSE(std::filesystem::exists(argsFile)) << "nothing may start";
}

// Without a publisher any admitted caller's program starts: worth a warning for a service
// run by systemd, the usual way of trying the service out in the foreground.
TEST_F(InstallTest, WithoutAPublisherAnUnsignedInstallerStartsAsBefore) {
  const struct {
    bool isService;
    LogLevel level;
  } cases[] = {{true, LogLevel::WARNING}, {false, LogLevel::INFO}};
  for (const auto& c : cases) {
    LogCapture log;
    manager.isService = c.isService;
    manager.LoadInstallerPublisher();
    EXPECT_TRUE(manager.Install("", ""));
    EXPECT_FALSE(WaitForRecordedArguments().empty());
    EXPECT_TRUE(log.Contains(LevelName(c.level) +
                             " | Installer publisher: none, installers are started without a "
                             "signature check"))
        << log.Text();
    EXPECT_FALSE(log.Contains("signature check failed"));
    std::filesystem::remove(argsFile);
  }
}

}  // namespace
}  // namespace tarnel::testing
