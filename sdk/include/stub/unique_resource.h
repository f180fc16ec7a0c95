// The one way the module and the host library own a resource: a move-only
// holder per kind of resource, each freeing what it holds when it goes away.
// It depends on nothing but the language: the module's holders (over its
// platform seam, src/platform/unique_resource.h) and the host library's (over
// the Windows API, sdk/host/owners.h) are this template with their own traits.
// Not part of the release: no public interface passes one.
#ifndef STUB_UNIQUE_RESOURCE_H
#define STUB_UNIQUE_RESOURCE_H

#include <type_traits>

namespace stub {
namespace resource_policy {

/// What an empty holder keeps: `Traits::Empty()` where the kind of resource
/// has a value of its own for "none" (INVALID_HANDLE_VALUE for the handles
/// CreateFileW and FindFirstFileW give), else a value-initialised pointer
/// (null).
template <class Traits, class = void>
struct EmptyValue {
  static typename Traits::Pointer Get() { return typename Traits::Pointer(); }
};
template <class Traits>
struct EmptyValue<Traits, std::void_t<decltype(Traits::Empty())>> {
  static typename Traits::Pointer Get() { return Traits::Empty(); }
};

}  // namespace resource_policy

/// Owns at most one resource of the kind `Traits` describes: `Traits::Pointer`
/// is its handle type, `Traits::Free` gives it back, and `Traits::Empty()`,
/// where there is one, is the value that holds nothing (null otherwise).
/// Move-only; a move leaves the source empty. Header-only and one handle
/// wide, so it costs what a bare handle with a free on every path would.
template <class Traits>
class CUniqueResource {
 public:
  using Pointer = typename Traits::Pointer;

  CUniqueResource() = default;
  /// Takes ownership of `value` (the empty value: holds nothing).
  explicit CUniqueResource(Pointer value) : value_(value) {}
  ~CUniqueResource() { Reset(); }
  CUniqueResource(const CUniqueResource&) = delete;
  CUniqueResource& operator=(const CUniqueResource&) = delete;
  CUniqueResource(CUniqueResource&& other) noexcept : value_(other.Take()) {}
  CUniqueResource& operator=(CUniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Take());
    return *this;
  }

  /// The value that holds nothing, for this kind of resource.
  static Pointer Empty() { return resource_policy::EmptyValue<Traits>::Get(); }

  /// The held resource, or the empty value; still owned here.
  Pointer Get() const { return value_; }
  Pointer operator->() const { return value_; }
  explicit operator bool() const { return value_ != Empty(); }

  /// Frees the held resource (if any) and takes ownership of `value`.
  void Reset(Pointer value = Empty()) {
    const Pointer old = value_;
    value_ = value;
    if (old != Empty()) Traits::Free(old);
  }
  /// Frees the held resource now and answers what the free answered; the
  /// holder is empty afterwards even if the free failed. With nothing held,
  /// nothing is called and the answer is zero.
  auto Close() {
    using Result = decltype(Traits::Free(value_));
    if (value_ == Empty()) return Result();
    return Traits::Free(Take());
  }
  /// Hands the resource to the caller, who frees it; the holder is left empty.
  Pointer Take() {
    const Pointer value = value_;
    value_ = Empty();
    return value;
  }
  /// Frees the held resource and answers the empty slot, for a call that fills
  /// an out-parameter; what it writes there is owned here.
  Pointer* Put() {
    Reset();
    return &value_;
  }

 private:
  Pointer value_ = Empty();
};

}  // namespace stub

#endif  // STUB_UNIQUE_RESOURCE_H
