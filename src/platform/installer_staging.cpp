// The parts of staging that both platforms share; the platform files hold the rest.
#include "platform/installer_staging.h"

#include "platform/environment.h"
#include "platform/hex_text.h"

namespace tarnel::platform {

StagingFolder::~StagingFolder() {
  if (!path.empty()) RemoveStagingFolder(path);
}

bool StagingFolder::Create(std::string* whyNot) {
  if (!path.empty()) RemoveStagingFolder(Release());
  if (!PrepareStagingRoot(whyNot)) return false;
  unsigned char random[8];
  if (!FillRandom(random, sizeof(random))) {
    *whyNot = "no random name can be drawn";
    return false;
  }
  // The creation fails when the name exists: the folder is always a new one.
  const std::string folder = StagingRoot() + LowerHex(random, sizeof(random));
  if (!MakePrivateFolder(folder, whyNot)) return false;
  path = folder + PathSeparator();
  return true;
}

std::string StagingFolder::Release() {
  std::string released;
  released.swap(path);
  return released;
}

}  // namespace tarnel::platform
