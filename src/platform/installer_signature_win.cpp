#include "platform/installer_signature.h"

#include <windows.h>
// clang-format off: wintrust.h needs the types of wincrypt.h.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
// clang-format on

#include <cstdio>
#include <vector>

namespace tarnel::platform {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Signer {
  std::vector<BYTE> subject;  // the encoded subject name of the signer certificate
  std::string subjectText;
};

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

std::string HexCode(LONG result) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(result));
  return text;
}

std::string NameText(CERT_NAME_BLOB* name) {
  const DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  const DWORD size = CertNameToStrA(X509_ASN_ENCODING, name, flags, nullptr, 0);
  if (size <= 1) return "(unprintable subject)";
  std::string text(size, '\0');
  CertNameToStrA(X509_ASN_ENCODING, name, flags, &text[0], size);
  text.resize(size - 1);
  return text;
}

void KeepSigner(HANDLE stateData, Signer* signer) {
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(stateData);
  CRYPT_PROVIDER_SGNR* signerData =
      provider != nullptr ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  CRYPT_PROVIDER_CERT* certificate =
      signerData != nullptr ? WTHelperGetProvCertFromChain(signerData, 0) : nullptr;
  if (certificate == nullptr || certificate->pCert == nullptr) return;
  CERT_NAME_BLOB& subject = certificate->pCert->pCertInfo->Subject;
  signer->subject.assign(subject.pbData, subject.pbData + subject.cbData);
  signer->subjectText = NameText(&subject);
}

// WinVerifyTrust on the file (through `file` when it is given), without UI, revocation
// checks or network retrieval. On ERROR_SUCCESS *signer holds the signer certificate's
// subject; an empty subject then means the signer could not be read.
LONG VerifyFile(const std::wstring& path, HANDLE file, Signer* signer) {
  WINTRUST_FILE_INFO fileInfo{};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = path.c_str();
  fileInfo.hFile = file;
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
  data.dwUIContext = WTD_UICONTEXT_EXECUTE;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  // INVALID_HANDLE_VALUE: there is no interactive user to ask.
  const HWND noUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
  const LONG result = WinVerifyTrust(noUser, &action, &data);
  if (result == ERROR_SUCCESS) KeepSigner(data.hWVTStateData, signer);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(noUser, &action, &data);
  return result;
}

bool IsUnsigned(LONG result) {
  return result == TRUST_E_NOSIGNATURE || result == TRUST_E_SUBJECT_FORM_UNKNOWN ||
         result == TRUST_E_PROVIDER_UNKNOWN;
}

std::wstring OwnExecutablePath() {
  std::vector<wchar_t> buffer(32768);
  const DWORD length =
      GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return std::wstring();
  return std::wstring(buffer.data(), length);
}

}  // namespace

struct InstallerPublisher::Anchor {
  std::vector<BYTE> subject;
};

InstallerPublisher::InstallerPublisher() = default;
InstallerPublisher::~InstallerPublisher() = default;

void InstallerPublisher::Load() {
  loaded = true;
  anchor.reset();
  description.clear();
  mode = PublisherMode::kUnusable;
  const std::wstring path = OwnExecutablePath();
  if (path.empty()) {
    description = "the service's own executable cannot be named";
    return;
  }
  Signer signer;
  const LONG result = VerifyFile(path, nullptr, &signer);
  if (IsUnsigned(result)) {
    mode = PublisherMode::kNone;
    return;
  }
  // Signed, but not verifiably (untrusted root, expired, distrusted, altered): the build
  // was meant to have a publisher, so nothing is started rather than everything.
  if (result != ERROR_SUCCESS) {
    description = "the service's own signature does not verify (" + HexCode(result) + ")";
    return;
  }
  if (signer.subject.empty()) {
    description = "the service's own signer certificate cannot be read";
    return;
  }
  mode = PublisherMode::kPublisher;
  description = signer.subjectText;
  anchor = std::make_unique<Anchor>();
  anchor->subject = std::move(signer.subject);
}

SignatureCheck InstallerPublisher::Check(const HeldFile& installer,
                                         const std::string& /*registeredPath*/,
                                         std::string* detail) const {
  if (mode != PublisherMode::kPublisher || !anchor) {
    *detail = description;
    return SignatureCheck::kCertificateUnusable;
  }
  Signer signer;
  const LONG result = VerifyFile(Widen(installer.Path()),
                                 reinterpret_cast<HANDLE>(installer.NativeHandle()), &signer);
  if (IsUnsigned(result)) {
    *detail = HexCode(result);
    return SignatureCheck::kNoSignature;
  }
  if (result == TRUST_E_BAD_DIGEST) {
    *detail = HexCode(result);
    return SignatureCheck::kContentMismatch;
  }
  if (result != ERROR_SUCCESS) {
    *detail = "the signature does not verify (" + HexCode(result) + ")";
    return SignatureCheck::kNotThePublisher;
  }
  CERT_NAME_BLOB publisher{static_cast<DWORD>(anchor->subject.size()),
                           const_cast<BYTE*>(anchor->subject.data())};
  CERT_NAME_BLOB signedBy{static_cast<DWORD>(signer.subject.size()), signer.subject.data()};
  if (signer.subject.empty() || !CertCompareCertificateName(kEncoding, &publisher, &signedBy)) {
    *detail =
        "signed by " + (signer.subjectText.empty() ? "an unreadable signer" : signer.subjectText);
    return SignatureCheck::kNotThePublisher;
  }
  return SignatureCheck::kPassed;
}

}  // namespace tarnel::platform
