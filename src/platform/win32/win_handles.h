#pragma once
// RAII owners of the Windows handles the host opens. Move-assignment closes
// the handle being replaced.

#include <windows.h>
#include <winspool.h>

#include <utility>

namespace tph::win {

template <typename T, T Invalid, typename Closer>
class Owned {
 public:
  Owned() = default;
  explicit Owned(T h) : h_(h) {}
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& o) noexcept : h_(std::exchange(o.h_, Invalid)) {}
  Owned& operator=(Owned&& o) noexcept {
    if (this != &o) reset(std::exchange(o.h_, Invalid));
    return *this;
  }
  ~Owned() { reset(); }
  void reset(T h = Invalid) {
    if (h_ != Invalid) Closer{}(h_);
    h_ = h;
  }
  T get() const { return h_; }
  T* out() {
    reset();
    return &h_;
  }
  explicit operator bool() const { return h_ != Invalid; }

 private:
  T h_ = Invalid;
};

struct CloseHandleCall {
  void operator()(HANDLE h) const { ::CloseHandle(h); }
};
struct ClosePrinterCall {
  void operator()(HANDLE h) const { ::ClosePrinter(h); }
};
struct DeleteDcCall {
  void operator()(HDC h) const { ::DeleteDC(h); }
};

// A file handle; INVALID_HANDLE_VALUE when empty.
using FileHandle = Owned<HANDLE, INVALID_HANDLE_VALUE, CloseHandleCall>;
// A spooler printer handle; null when empty.
using PrinterHandle = Owned<HANDLE, nullptr, ClosePrinterCall>;
// A device context; null when empty.
using DeviceContext = Owned<HDC, nullptr, DeleteDcCall>;

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
