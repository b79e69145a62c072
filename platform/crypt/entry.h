// Internal: the frame every exported function of this layer is built from. An entry point names
// its seam, the out-slot it clears and the handle it works on; Call does the rest in one place,
// in the same order everywhere: the API lock, the test seam, the out-slot, the handle looked up
// by its kind (a null, stale, forged or other-kind handle answers with the last error that kind
// answers), then the typed body, with anything thrown turned into a last error. Nothing is
// thrown across the boundary.
#pragma once

#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "platform/base/guard.h"
#include "platform/crypt/runtime.h"

namespace velmor::crypt::detail {

CertContextImpl* FindContext(PCCERT_CONTEXT context);

// Api: the name the test seam knows an entry point by (and the argument a failure can be
// narrowed to); a null name: the entry point is not one the seam fails.
struct Api {
  const char* name = nullptr;
  const char* arg = nullptr;
};

// Handles<T>: where the live objects of T's kind are, and what a handle that names none answers.
template <typename T>
struct Handles;
template <>
struct Handles<Provider> {
  static auto& Table() { return TheRuntime().providers; }
  static constexpr DWORD kMissing = NTE_BAD_UID;
};
template <>
struct Handles<Hash> {
  static auto& Table() { return TheRuntime().hashes; }
  static constexpr DWORD kMissing = NTE_BAD_HASH;
};
template <>
struct Handles<Key> {
  static auto& Table() { return TheRuntime().keys; }
  static constexpr DWORD kMissing = NTE_BAD_KEY;
};
template <>
struct Handles<StoreImpl> {
  static auto& Table() { return TheRuntime().stores; }
  static constexpr DWORD kMissing = ERROR_INVALID_HANDLE;
};

// Find<T>: the body gets the object as a shared owner (it may keep it). Peek<T>: the body gets it
// borrowed, for a call that hands it to nobody (no reference count is touched). Context: a
// certificate context, borrowed.
template <typename T>
struct Find {
  ULONG_PTR handle;
};
template <typename T>
struct Peek {
  ULONG_PTR handle;
};
struct Context {
  PCCERT_CONTEXT context;
};
inline Find<StoreImpl> StoreHandle(HCERTSTORE store) {
  return {reinterpret_cast<ULONG_PTR>(store)};
}

// Out<U>: an out-slot that must not be null (`error` when it is) and is cleared before the
// handle is looked up, so that a failure leaves it empty.
template <typename U>
struct Out {
  U* slot;
  DWORD error = ERROR_INVALID_PARAMETER;
};

// Release<T>: removes the object of T's kind a handle names; false with the kind's last error
// when it names none.
template <typename T>
bool Release(ULONG_PTR handle) {
  return Handles<T>::Table().Remove(handle) || Fail(Handles<T>::kMissing);
}

namespace entry {

template <typename T>
bool Resolve(const Find<T>& step, std::shared_ptr<T>& found) {
  found = Handles<T>::Table().Find(step.handle);
  return found || Fail(Handles<T>::kMissing);
}
template <typename T>
bool Resolve(const Peek<T>& step, T*& found) {
  found = Handles<T>::Table().Peek(step.handle);
  return found != nullptr || Fail(Handles<T>::kMissing);
}
inline bool Resolve(const Context& step, CertContextImpl*& found) {
  found = FindContext(step.context);  // E_INVALIDARG when there is none
  return found != nullptr;
}

template <typename T>
std::shared_ptr<T> Found(const Find<T>&);
template <typename T>
T* Found(const Peek<T>&);
CertContextImpl* Found(const Context&);

template <typename T>
std::shared_ptr<T>& Arg(std::shared_ptr<T>& found) {
  return found;
}
template <typename T>
T& Arg(T* found) {
  return *found;
}

// CallScope: counts the exported calls made from outside this layer (under the API lock).
struct CallScope {
  CallScope() {
    Runtime& runtime = TheRuntime();
    if (runtime.callDepth++ == 0) ++runtime.callSerial;
  }
  ~CallScope() { --TheRuntime().callDepth; }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

}  // namespace entry

// Call: runs `body` under the API lock after the seam for `api`, in the platform's guard:
// anything thrown becomes a last error (std::bad_alloc: NTE_NO_MEMORY, anything else: NTE_FAIL)
// and `fail` the answer.
template <typename R, typename Body>
R Call(R fail, Api api, Body&& body) noexcept {
  return platform::Guard(com::LastErrorEntry<R>{fail, NTE_NO_MEMORY, NTE_FAIL}, [&]() -> R {
    std::lock_guard<ApiMutex> lock(ApiLock());
    const entry::CallScope scope;
    if (api.name != nullptr && Injected(api.name, api.arg)) return fail;
    return body();
  });
}

// Call for a function that no seam fails and that takes no handle.
template <typename R, typename Body>
R Call(R fail, Body&& body) noexcept {
  return Call(fail, Api{}, std::forward<Body>(body));
}

// Call with a handle: `body` gets the live object `step` names.
template <typename R, typename Step, typename Body>
R Call(R fail, Api api, Step step, Body&& body) noexcept {
  return Call(fail, api, [&]() -> R {
    decltype(entry::Found(step)) found{};
    if (!entry::Resolve(step, found)) return fail;
    return body(entry::Arg(found));
  });
}

// Call with an out-slot and a handle.
template <typename R, typename U, typename Step, typename Body>
R Call(R fail, Api api, Out<U> out, Step step, Body&& body) noexcept {
  return Call(fail, api, [&]() -> R {
    if (out.slot == nullptr) {
      SetLastError(out.error);
      return fail;
    }
    *out.slot = U{};
    decltype(entry::Found(step)) found{};
    if (!entry::Resolve(step, found)) return fail;
    return body(entry::Arg(found));
  });
}

}  // namespace velmor::crypt::detail
