// The data-less second base of the process-wide objects (the updater manager and the
// logger): it lets the process entry delete either of them through one base type.
#pragma once

namespace tarnel {

class SingletonBase {
 public:
  virtual ~SingletonBase() {}
};

}  // namespace tarnel
