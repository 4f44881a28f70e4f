// Private copies of installers. The file a caller registers stays the caller's: whatever
// reads it after a check (a shell reading a script line by line, an installer reading its own
// archive, the loader paging code in, the loader looking for DLLs beside it) would read what
// the caller writes meanwhile. So each installation copies the registered file into a fresh
// folder that only the service's account can change, and checks and starts that copy.
//
// The staging root:
// POSIX: $STATE_DIRECTORY/installers/ (the first entry of the variable, /var/lib/tarnel/
// when it is unset), mode 0700.
// Windows: %ProgramData%\Tarnel\Updater\Installers\, each level the service creates with a
// protected DACL that grants SYSTEM and Administrators alone.
// A root (or, on POSIX, the state folder holding it) that already exists owned by another
// account, or that others may write to, is never used: staging fails with the reason.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/held_file.h"

namespace tarnel::platform {

// One staging folder: a new, randomly named folder below the staging root, removed with
// everything in it when the object goes, unless it was released.
class StagingFolder {
 public:
  StagingFolder() = default;
  ~StagingFolder();
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  // Creates the folder (and the root when it is missing). The creation fails when the name
  // exists, so the folder is always one this call made. False with *whyNot set otherwise.
  bool Create(std::string* whyNot);
  // The folder's path, ending in the path separator; empty before Create.
  const std::string& Path() const { return path; }
  // Gives up ownership: the folder stays and its path is returned, for a later
  // RemoveStagingFolder.
  std::string Release();

 private:
  std::string path;
};

// The staging root, ending in the path separator.
std::string StagingRoot();

// The platform's parts of StagingFolder::Create.
// Makes the staging root when it is missing and checks that it may hold staged installers;
// false with *whyNot otherwise.
bool PrepareStagingRoot(std::string* whyNot);
// Creates the folder at `path`, changeable by the service's account alone; fails when
// anything of that name exists.
bool MakePrivateFolder(const std::string& path, std::string* whyNot);
// Fills `bytes` from the system's random source.
bool FillRandom(unsigned char* bytes, size_t count);

// Removes a staging folder and everything in it, without following links. True when it is
// gone.
bool RemoveStagingFolder(const std::string& folder);

// Removes the folders of the staging root that no running process uses any more (their
// installer ended while no service was there to remove them) and returns how many it
// removed. POSIX: a folder is in use while a process runs a program from it, has it as its
// working folder or holds a file of it open. Windows: while a file in it cannot be
// deleted (a running program's image).
int RemoveAbandonedStagingFolders();

// Copies the held installer into a new file at `destination` (inside a staging folder), up
// to the size it had when it was opened, and opens the copy as *staged. *hexDigest is the
// copy's SHA-256 digest in the form HeldFile::ComputeSha256 gives: POSIX computes it over
// the bytes in the same pass as the copy; Windows has the system's digest tool read the
// copy. Stops early, as a failure, once *cancel becomes true (checked at least every few
// megabytes). A copy that cannot be completed (a full disk, a read error, a source that
// changed meanwhile) is removed again. False with *whyNot set on any failure.
bool StageInstallerCopy(const HeldFile& source, const std::string& destination,
                        const std::atomic<bool>* cancel, HeldFile* staged, std::string* hexDigest,
                        std::string* whyNot);

}  // namespace tarnel::platform
