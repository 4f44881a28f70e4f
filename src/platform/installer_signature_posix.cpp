#include "platform/installer_signature.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/environment.h"
#include "product_facts.h"

namespace tarnel::platform {
namespace {

constexpr char kDefaultConfigurationFolder[] = "/etc/tarnel";
constexpr char kPublisherFileName[] = "publisher.pem";
constexpr char kSignatureSuffix[] = ".sig";
// A detached signature holds a few certificates; anything far larger is not one.
constexpr off_t kSignatureSizeLimit = 1 << 20;

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free_all(bio); }
};
struct X509Deleter {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct StoreDeleter {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
struct CmsDeleter {
  void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); }
};
struct CertificateStackDeleter {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using Bio = std::unique_ptr<BIO, BioDeleter>;
using Certificate = std::unique_ptr<X509, X509Deleter>;
using Store = std::unique_ptr<X509_STORE, StoreDeleter>;
using Cms = std::unique_ptr<CMS_ContentInfo, CmsDeleter>;
using CertificateStack = std::unique_ptr<STACK_OF(X509), CertificateStackDeleter>;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd(fd) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd; }
  void Reset(int newFd) {
    if (fd >= 0) close(fd);
    fd = newFd;
  }

 private:
  int fd;
};

// Where the package put the publisher's certificate; empty when it was built without one.
constexpr char kPackagePublisherPath[] = TARNEL_PACKAGE_PUBLISHER_PATH;

int OpenPublisherFile(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
}

bool IsMissing(int error) { return error == ENOENT || error == ENOTDIR; }

// systemd hands one folder per ConfigurationDirectory= entry, separated by colons; the unit
// names one.
std::string PublisherPath() {
  std::string folder;
  if (!GetEnvironmentValue("CONFIGURATION_DIRECTORY", &folder) || folder.empty()) {
    folder = kDefaultConfigurationFolder;
  }
  folder = folder.substr(0, folder.find(':'));
  if (folder.back() != '/') folder += '/';
  return folder + kPublisherFileName;
}

std::string SubjectText(X509* certificate) {
  Bio text(BIO_new(BIO_s_mem()));
  if (!text ||
      X509_NAME_print_ex(text.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253) < 0) {
    return "(unprintable subject)";
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(text.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

// Why the open publisher file cannot serve; empty when it can.
std::string UnsuitabilityOf(int fd, const std::string& path) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return path + " cannot be examined: " + std::strerror(errno);
  if (!S_ISREG(status.st_mode)) return path + " is not a regular file";
  if (status.st_uid != 0) return path + " is not owned by root";
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return path + " is writable by group or others";
  }
  return std::string();
}

std::string ErrorText(unsigned long code, const char* data, int flags) {
  const char* reasonText = ERR_reason_error_string(code);
  std::string text = reasonText != nullptr ? reasonText : "unknown error";
  if ((flags & ERR_TXT_STRING) != 0 && data != nullptr && *data != '\0')
    text += ": " + std::string(data);
  return text;
}

// Empties the thread's OpenSSL error queue. The first error of the CMS layer names the step
// that failed: its text, and its reason code in *cmsReason (0 when the queue holds none).
std::string TakeOpenSslError(int* cmsReason) {
  std::string firstText;
  std::string cmsText;
  *cmsReason = 0;
  const char* data = nullptr;
  int flags = 0;
  while (const unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
    if (firstText.empty()) firstText = ErrorText(code, data, flags);
    if (*cmsReason == 0 && ERR_GET_LIB(code) == ERR_LIB_CMS) {
      *cmsReason = ERR_GET_REASON(code);
      cmsText = ErrorText(code, data, flags);
    }
  }
  if (!cmsText.empty()) return cmsText;
  return firstText.empty() ? std::string("unknown error") : firstText;
}

SignatureCheck ClassifyCmsFailure(int reason) {
  switch (reason) {
    case CMS_R_CERTIFICATE_VERIFY_ERROR:
    case CMS_R_SIGNER_CERTIFICATE_NOT_FOUND:
    case CMS_R_NO_SIGNERS:
      return SignatureCheck::kNotThePublisher;
    case CMS_R_CONTENT_TYPE_NOT_SIGNED_DATA:
      return SignatureCheck::kNoSignature;
    default:
      return SignatureCheck::kContentMismatch;
  }
}

// Reads the whole detached signature beside the installer; false with *detail set when
// there is none that could be read.
bool ReadSignatureFile(const std::string& path, std::vector<unsigned char>* bytes,
                       std::string* detail) {
  // O_NONBLOCK: a named pipe put there must not hold the check.
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (file.get() < 0) {
    *detail = errno == ENOENT ? "no file " + path : path + ": " + std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    *detail = path + " is not a regular file";
    return false;
  }
  if (status.st_size > kSignatureSizeLimit) {
    *detail = path + " is too large to be a signature";
    return false;
  }
  bytes->resize(static_cast<size_t>(status.st_size));
  size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t count = read(file.get(), bytes->data() + done, bytes->size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      *detail = path + " cannot be read";
      return false;
    }
    done += static_cast<size_t>(count);
  }
  return true;
}

}  // namespace

struct InstallerPublisher::Anchor {
  Certificate certificate;
};

InstallerPublisher::InstallerPublisher() = default;
InstallerPublisher::~InstallerPublisher() = default;

void InstallerPublisher::Load() {
  loaded = true;
  anchor.reset();
  description.clear();
  std::string path = PublisherPath();
  // O_NOFOLLOW: a link is not the root-owned file the rules ask for, whatever it points at.
  Descriptor file(OpenPublisherFile(path));
  if (file.get() < 0 && IsMissing(errno) && kPackagePublisherPath[0] != '\0') {
    // An operator's certificate takes precedence over the one the package brought.
    path = kPackagePublisherPath;
    file.Reset(OpenPublisherFile(path));
  }
  if (file.get() < 0 && IsMissing(errno)) {
    mode = PublisherMode::kNone;
    return;
  }
  mode = PublisherMode::kUnusable;
  if (file.get() < 0) {
    description = errno == ELOOP ? path + " is a symbolic link"
                                 : path + " cannot be opened: " + std::strerror(errno);
    return;
  }
  description = UnsuitabilityOf(file.get(), path);
  if (!description.empty()) return;
  Bio reader(BIO_new_fd(file.get(), BIO_NOCLOSE));
  Certificate certificate(reader ? PEM_read_bio_X509(reader.get(), nullptr, nullptr, nullptr)
                                 : nullptr);
  ERR_clear_error();
  if (!certificate) {
    description = path + " holds no PEM certificate";
    return;
  }
  mode = PublisherMode::kPublisher;
  description = SubjectText(certificate.get());
  anchor = std::make_unique<Anchor>();
  anchor->certificate = std::move(certificate);
}

SignatureCheck InstallerPublisher::Check(const HeldFile& installer,
                                         const std::string& registeredPath,
                                         std::string* detail) const {
  if (mode != PublisherMode::kPublisher || !anchor) {
    *detail = description;
    return SignatureCheck::kCertificateUnusable;
  }
  const std::string signaturePath = registeredPath + kSignatureSuffix;
  std::vector<unsigned char> signatureBytes;
  if (!ReadSignatureFile(signaturePath, &signatureBytes, detail)) {
    return SignatureCheck::kNoSignature;
  }
  ERR_clear_error();
  Bio signatureReader(
      BIO_new_mem_buf(signatureBytes.data(), static_cast<int>(signatureBytes.size())));
  Cms signature(signatureReader ? d2i_CMS_bio(signatureReader.get(), nullptr) : nullptr);
  if (!signature) {
    ERR_clear_error();
    *detail = signaturePath + " is not a DER CMS signature";
    return SignatureCheck::kNoSignature;
  }
  // The publisher is the only trust anchor. It need not be self-signed (partial chain),
  // and what the certificates are meant for is the publisher's business, not S/MIME's.
  Store trusted(X509_STORE_new());
  CertificateStack extra(sk_X509_new_null());
  if (!trusted || !extra || X509_STORE_add_cert(trusted.get(), anchor->certificate.get()) != 1 ||
      X509_STORE_set_flags(trusted.get(), X509_V_FLAG_PARTIAL_CHAIN) != 1 ||
      X509_STORE_set_purpose(trusted.get(), X509_PURPOSE_ANY) != 1 ||
      sk_X509_push(extra.get(), anchor->certificate.get()) <= 0) {
    ERR_clear_error();
    *detail = "the verification could not be prepared";
    return SignatureCheck::kCertificateUnusable;
  }
  // The content is read through the held descriptor, the one that is then executed.
  const int fd = static_cast<int>(installer.NativeHandle());
  Bio content(lseek(fd, 0, SEEK_SET) == 0 ? BIO_new_fd(fd, BIO_NOCLOSE) : nullptr);
  if (!content) {
    *detail = "the installer cannot be read";
    return SignatureCheck::kContentMismatch;
  }
  if (CMS_verify(signature.get(), extra.get(), trusted.get(), content.get(), nullptr, CMS_BINARY) !=
      1) {
    int reason = 0;
    *detail = TakeOpenSslError(&reason);
    return ClassifyCmsFailure(reason);
  }
  if (!installer.StillAsOpened()) {
    *detail = "the installer changed while it was checked";
    return SignatureCheck::kContentMismatch;
  }
  return SignatureCheck::kPassed;
}

}  // namespace tarnel::platform
