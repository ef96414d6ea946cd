// Intrusive reference counting for the objects handed between the plug-in and the XML layer.
#pragma once
#include <utility>

namespace velarin::xml {

// Base of every reference-counted object. Single-threaded by design: the
// host makes one call at a time.
class TRefCounted {
 public:
  TRefCounted() = default;
  TRefCounted(const TRefCounted&) = delete;
  TRefCounted& operator=(const TRefCounted&) = delete;

  virtual void AddRef() noexcept { ++refCount_; }
  virtual void Release() noexcept {
    if (--refCount_ == 0) delete this;
  }
  int RefCount() const noexcept { return refCount_; }

 protected:
  virtual ~TRefCounted() = default;
  int refCount_ = 0;
};

// A counted reference; empty or holding one reference to T.
template <class T>
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(T* p) noexcept : p_(p) {
    if (p_) p_->AddRef();
  }
  Ref(const Ref& o) noexcept : Ref(o.p_) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  Ref(const Ref<U>& o) noexcept : Ref(o.get()) {}
  ~Ref() {
    if (p_) p_->Release();
  }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool operator==(const Ref& o) const noexcept { return p_ == o.p_; }
  bool operator!=(const Ref& o) const noexcept { return p_ != o.p_; }

 private:
  T* p_ = nullptr;
};

}  // namespace velarin::xml
