// The publisher whose signature an installer must carry before the service starts it, and
// the check of a held installer against it.
//
// Windows: the publisher is the signer of the service's own executable. Load verifies that
// file with WinVerifyTrust (WINTRUST_ACTION_GENERIC_VERIFY_V2, no UI, no revocation check,
// no network retrieval) and keeps the signer certificate's subject. An unsigned executable
// has no publisher; one whose signature is present but does not verify (untrusted root,
// expired, distrusted, altered) cannot serve: every check then fails. Check verifies the
// installer through the held handle (WINTRUST_FILE_INFO.hFile) the same way and then
// compares its signer certificate's subject with the publisher's (CertCompareCertificateName).
//
// POSIX: the publisher is the certificate in $CONFIGURATION_DIRECTORY/publisher.pem, or in
// /etc/tarnel/publisher.pem when that variable is unset or empty; when that file does not
// exist, the certificate the package installed (TARNEL_PACKAGE_PUBLISHER_PATH, when the
// build names one). No such file: no publisher. A file that is not a regular file owned by root (a
// symbolic link included), that group or others may write, or that holds no PEM certificate cannot
// serve: every check then fails, there is no fallback to no publisher. Check reads the detached DER
// CMS SignedData at REGISTEREDPATH.sig, beside the file the caller registered, (as "openssl cms
// -sign -binary -outform DER" makes it) and verifies it over the content read through the held
// descriptor, with the publisher certificate as the only trust anchor: the signer is that
// certificate or is issued by it.
#pragma once

#include <memory>
#include <string>

#include "platform/held_file.h"

namespace tarnel::platform {

enum class PublisherMode {
  kNone,       // no publisher: installers are started without a signature check
  kPublisher,  // installers must carry the publisher's signature
  kUnusable,   // a publisher is configured but cannot serve: no installer passes
};

enum class SignatureCheck {
  kPassed,
  kNoSignature,          // the installer carries no (readable) signature
  kNotThePublisher,      // a valid signature, but not the publisher's
  kContentMismatch,      // the signature does not match the installer's content
  kCertificateUnusable,  // the publisher's certificate cannot serve
};

class InstallerPublisher {
 public:
  InstallerPublisher();
  ~InstallerPublisher();
  InstallerPublisher(const InstallerPublisher&) = delete;
  InstallerPublisher& operator=(const InstallerPublisher&) = delete;

  // Determines the publisher (see above). Never fails; the outcome is the mode. Calling it
  // again determines the publisher anew.
  void Load();
  bool IsLoaded() const { return loaded; }

  PublisherMode Mode() const { return mode; }
  // kPublisher: the publisher's subject (one line, e.g. "CN=Tarnel,O=Tarnel Ltd").
  // kUnusable: why the publisher cannot serve. kNone: empty.
  const std::string& Description() const { return description; }

  // Checks the held installer (the service's own copy of the file registered at
  // `registeredPath`) against the publisher. Call only in the kPublisher or kUnusable modes
  // (kUnusable always gives kCertificateUnusable). Anything but kPassed comes with a short
  // explanation in *detail, for the log.
  SignatureCheck Check(const HeldFile& installer, const std::string& registeredPath,
                       std::string* detail) const;

 private:
  struct Anchor;  // the platform's form of the publisher's identity

  bool loaded = false;
  PublisherMode mode = PublisherMode::kNone;
  std::string description;
  std::unique_ptr<Anchor> anchor;
};

}  // namespace tarnel::platform
