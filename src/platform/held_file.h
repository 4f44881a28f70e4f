// An installer file held open from its verification until its launch, so that the file
// whose digest was checked is the file that is started.
//
// Windows: opened for reading without write or delete sharing (CreateFileA with
// FILE_SHARE_READ only): while it is held, nobody can write, rename or delete the file.
// POSIX: an open descriptor of the regular file; the digest is taken through it and the
// launch executes it (fexecve), so renaming another file over the path has no effect. The
// file's identity (device, inode, size, change times) is recorded at opening so that an
// in-place change can be detected and refused.
#pragma once

#include <cstdint>
#include <string>

namespace tarnel::platform {

class HeldFile {
 public:
  HeldFile() = default;
  ~HeldFile();
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  // Opens the file at path for reading. False when it does not exist, cannot be opened, is
  // not a regular file, or is open for writing elsewhere (Windows); Windows also refuses,
  // before anything is opened, a path that is not on a local fixed drive (UNC paths,
  // "\\?\UNC\", device paths "\\.\", removable, network and other drives), so that
  // the service never connects to another machine with its account. When false and `whyNot`
  // is given, it tells why in a few words that name the path.
  bool Open(const std::string& path, std::string* whyNot = nullptr);

  bool IsOpen() const;
  void Close() { Release(); }
  const std::string& Path() const { return path; }
  // The file's size in bytes when it was opened.
  uint64_t Size() const { return identity.size; }

  // True while the file is unchanged since Open (always true on Windows, where the
  // sharing mode keeps it unchanged).
  bool StillAsOpened() const;

  // The SHA-256 digest of the held file's content as 64 characters, in the form the desktop
  // application registers digests. `hexDigest` is assigned only when true; nothing is logged.
  // POSIX: computed in process through the held descriptor (OpenSSL libcrypto), lowercase
  // hexadecimal, up to the size the file had when it was opened, so that a file that reads on
  // without end is not read on; false on a read error or when the file changed while it was
  // read.
  // Windows: computed by the system's certificate utility on the held file's path (see
  // digest_tool.h), which the sharing mode keeps from changing meanwhile; false when the path
  // cannot be given to the command processor safely, the system directory is unknown, the
  // tool cannot be run, fails or prints no digest.
  bool ComputeSha256(std::string* hexDigest) const;

  // The descriptor (POSIX) or HANDLE (Windows) of the held file.
  intptr_t NativeHandle() const { return handle; }

  // What identifies the file's state on POSIX (device, inode, size, change times).
  struct Identity {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t modifiedSeconds = 0, modifiedNanoseconds = 0;
    int64_t changedSeconds = 0, changedNanoseconds = 0;
    bool operator==(const Identity& other) const;
  };

 private:
  void Release();

  std::string path;
  intptr_t handle = -1;
  Identity identity;
};

}  // namespace tarnel::platform
