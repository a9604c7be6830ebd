#pragma once
// Owning types for the Windows resources the installer holds. Each frees its
// resource exactly once, on every path, and is movable but not copyable. Types
// are named for what they free, so a reader sees which release call applies.
#include <windows.h>
#include <bcrypt.h>
#include <userenv.h>
#include <winhttp.h>
#include <objbase.h>

#include <utility>

namespace orvo {

template <class T, class Traits>
class UniqueResource {
 public:
  UniqueResource() noexcept : value_(Traits::invalid()) {}
  explicit UniqueResource(T value) noexcept : value_(value) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { reset(); }

  T get() const noexcept { return value_; }
  bool valid() const noexcept { return Traits::isValid(value_); }
  explicit operator bool() const noexcept { return valid(); }

  T release() noexcept { return std::exchange(value_, Traits::invalid()); }
  void reset(T value = Traits::invalid()) noexcept {
    T old = std::exchange(value_, value);
    if (Traits::isValid(old)) Traits::free(old);
  }
  // For out-parameters of creating calls: frees what is held, then exposes the slot.
  T* put() noexcept {
    reset();
    return &value_;
  }

 private:
  T value_;
};

struct KernelHandleTraits {
  static HANDLE invalid() noexcept { return nullptr; }
  static bool isValid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void free(HANDLE h) noexcept { ::CloseHandle(h); }
};
// Any kernel object handle; both NULL and INVALID_HANDLE_VALUE count as empty.
using UniqueHandle = UniqueResource<HANDLE, KernelHandleTraits>;

struct FindHandleTraits {
  static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool isValid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void free(HANDLE h) noexcept { ::FindClose(h); }
};
using UniqueFindHandle = UniqueResource<HANDLE, FindHandleTraits>;

template <class T>
struct LocalTraits {
  static T invalid() noexcept { return nullptr; }
  static bool isValid(T p) noexcept { return p != nullptr; }
  static void free(T p) noexcept { ::LocalFree(reinterpret_cast<HLOCAL>(p)); }
};
// Memory the system allocated with LocalAlloc (argument vectors, SDDL output, ACLs).
template <class T = void*>
using UniqueLocal = UniqueResource<T, LocalTraits<T>>;

template <class T>
struct CoTaskMemTraits {
  static T invalid() noexcept { return nullptr; }
  static bool isValid(T p) noexcept { return p != nullptr; }
  static void free(T p) noexcept { ::CoTaskMemFree(p); }
};
template <class T = void*>
using UniqueCoTaskMem = UniqueResource<T, CoTaskMemTraits<T>>;

struct RegKeyTraits {
  static HKEY invalid() noexcept { return nullptr; }
  static bool isValid(HKEY k) noexcept { return k != nullptr; }
  static void free(HKEY k) noexcept { ::RegCloseKey(k); }
};
using UniqueRegKey = UniqueResource<HKEY, RegKeyTraits>;

struct BcryptAlgTraits {
  static BCRYPT_ALG_HANDLE invalid() noexcept { return nullptr; }
  static bool isValid(BCRYPT_ALG_HANDLE h) noexcept { return h != nullptr; }
  static void free(BCRYPT_ALG_HANDLE h) noexcept { ::BCryptCloseAlgorithmProvider(h, 0); }
};
using UniqueBcryptAlg = UniqueResource<BCRYPT_ALG_HANDLE, BcryptAlgTraits>;

struct BcryptHashTraits {
  static BCRYPT_HASH_HANDLE invalid() noexcept { return nullptr; }
  static bool isValid(BCRYPT_HASH_HANDLE h) noexcept { return h != nullptr; }
  static void free(BCRYPT_HASH_HANDLE h) noexcept { ::BCryptDestroyHash(h); }
};
using UniqueBcryptHash = UniqueResource<BCRYPT_HASH_HANDLE, BcryptHashTraits>;

struct EnvironmentBlockTraits {
  static void* invalid() noexcept { return nullptr; }
  static bool isValid(void* p) noexcept { return p != nullptr; }
  static void free(void* p) noexcept { ::DestroyEnvironmentBlock(p); }
};
using UniqueEnvironmentBlock = UniqueResource<void*, EnvironmentBlockTraits>;

struct ModuleTraits {
  static HMODULE invalid() noexcept { return nullptr; }
  static bool isValid(HMODULE m) noexcept { return m != nullptr; }
  static void free(HMODULE m) noexcept { ::FreeLibrary(m); }
};
// A module from LoadLibraryExW (also one loaded as a data file only).
using UniqueModule = UniqueResource<HMODULE, ModuleTraits>;

struct WinHttpTraits {
  static HINTERNET invalid() noexcept { return nullptr; }
  static bool isValid(HINTERNET h) noexcept { return h != nullptr; }
  static void free(HINTERNET h) noexcept { ::WinHttpCloseHandle(h); }
};
// A WinHTTP session, connection or request handle (users link winhttp).
using UniqueWinHttp = UniqueResource<HINTERNET, WinHttpTraits>;

template <class T>
struct GdiObjectTraits {
  static T invalid() noexcept { return nullptr; }
  static bool isValid(T object) noexcept { return object != nullptr; }
  static void free(T object) noexcept { ::DeleteObject(object); }
};
// A GDI object (font, brush, bitmap): DeleteObject.
template <class T>
using UniqueGdiObject = UniqueResource<T, GdiObjectTraits<T>>;

struct GlobalMemoryTraits {
  static HGLOBAL invalid() noexcept { return nullptr; }
  static bool isValid(HGLOBAL memory) noexcept { return memory != nullptr; }
  static void free(HGLOBAL memory) noexcept { ::GlobalFree(memory); }
};
// Memory from GlobalAlloc until something (a stream) takes it over with release().
using UniqueGlobalMemory = UniqueResource<HGLOBAL, GlobalMemoryTraits>;

// A COM interface pointer: Release on destruction.
template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() { reset(); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept {
    if (p_) std::exchange(p_, nullptr)->Release();
  }
  T** put() noexcept {
    reset();
    return &p_;
  }
  void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

 private:
  T* p_ = nullptr;
};

// COM initialisation of the calling thread, undone when the scope ends.
class ComApartment {
 public:
  ComApartment() noexcept : hr_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }

 private:
  HRESULT hr_;
};

}  // namespace orvo
