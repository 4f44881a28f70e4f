#include "platform/journal_stream.h"

namespace tarnel::platform {

bool StandardOutputIsJournal() { return false; }

}  // namespace tarnel::platform
