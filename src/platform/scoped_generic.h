// A move-only owner of one OS handle, closed when the owner goes away.
//
// `Traits` names the handle type and its convention for "no handle":
//   struct Traits {
//     using Handle = ...;
//     static constexpr Handle InvalidValue();
//     static bool Close(Handle handle);  // false when closing failed
//   };
// Each convention has its own owner type (ScopedPipe, ScopedEvent, ScopedFd), so a handle of
// one kind cannot be given to the owner of another.
#pragma once

namespace tarnel::platform {

template <typename Traits>
class ScopedGeneric {
 public:
  using Handle = typename Traits::Handle;

  ScopedGeneric() = default;
  // Takes ownership of `owned`, which may be the invalid value.
  explicit ScopedGeneric(Handle owned) : handle(owned) {}
  ~ScopedGeneric() { Close(); }

  ScopedGeneric(ScopedGeneric&& other) noexcept : handle(other.Release()) {}
  ScopedGeneric& operator=(ScopedGeneric&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedGeneric(const ScopedGeneric&) = delete;
  ScopedGeneric& operator=(const ScopedGeneric&) = delete;

  // The handle, still owned; the invalid value when there is none.
  Handle Get() const { return handle; }
  bool IsValid() const { return handle != Traits::InvalidValue(); }

  // Gives up ownership without closing; the owner is empty afterwards.
  Handle Release() {
    const Handle released = handle;
    handle = Traits::InvalidValue();
    return released;
  }

  // Closes the handle held (if any) and takes ownership of `owned`.
  void Reset(Handle owned = Traits::InvalidValue()) {
    if (owned == handle) return;
    Close();
    handle = owned;
  }

  // Closes the handle; the owner is empty afterwards even when closing failed. False when
  // there was no handle or closing failed.
  bool Close() {
    if (!IsValid()) return false;
    return Traits::Close(Release());
  }

 private:
  Handle handle = Traits::InvalidValue();
};

}  // namespace tarnel::platform
