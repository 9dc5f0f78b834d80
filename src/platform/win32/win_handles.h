#pragma once
// RAII owners of the Windows handles the host opens. Move-assignment closes
// the handle being replaced.

#include <windows.h>
#include <winspool.h>

#include <string>
#include <utility>

namespace tph::win {

// Traits: `using Handle`, `static Handle invalid()`, `static void close(Handle)`.
template <typename Traits>
class Owned {
  using T = typename Traits::Handle;

 public:
  Owned() = default;
  explicit Owned(T h) : h_(h) {}
  static T Invalid() { return Traits::invalid(); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& o) noexcept : h_(std::exchange(o.h_, Invalid())) {}
  Owned& operator=(Owned&& o) noexcept {
    if (this != &o) reset(std::exchange(o.h_, Invalid()));
    return *this;
  }
  ~Owned() { reset(); }
  void reset(T h = Traits::invalid()) {
    if (h_ != Invalid()) Traits::close(h_);
    h_ = h;
  }
  T get() const { return h_; }
  T* out() {
    reset();
    return &h_;
  }
  explicit operator bool() const { return h_ != Invalid(); }

 private:
  T h_ = Traits::invalid();
};

struct FileTraits {
  using Handle = HANDLE;
  static Handle invalid() { return INVALID_HANDLE_VALUE; }
  static void close(Handle h) { ::CloseHandle(h); }
};
struct PrinterTraits {
  using Handle = HANDLE;
  static Handle invalid() { return nullptr; }
  static void close(Handle h) { ::ClosePrinter(h); }
};
struct DeviceContextTraits {
  using Handle = HDC;
  static Handle invalid() { return nullptr; }
  static void close(Handle h) { ::DeleteDC(h); }
};

// A file handle; INVALID_HANDLE_VALUE when empty.
using FileHandle = Owned<FileTraits>;
// A spooler printer handle; null when empty.
using PrinterHandle = Owned<PrinterTraits>;
// A device context; null when empty.
using DeviceContext = Owned<DeviceContextTraits>;

// A COM interface pointer.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() {
    if (p_) p_->Release();
  }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  T** out() {
    if (p_) p_->Release();
    p_ = nullptr;
    return &p_;
  }

 private:
  T* p_ = nullptr;
};

inline const wchar_t* wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

}  // namespace tph::win
