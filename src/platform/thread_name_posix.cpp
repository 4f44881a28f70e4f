#include "platform/thread_name.h"

#include <pthread.h>

namespace tarnel::platform {

void SetCurrentThreadName(const std::string& name) {
  // Linux keeps at most 15 characters and rejects longer names outright.
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace tarnel::platform
