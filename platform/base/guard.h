// The one catch-all thunk of the platform's entry points: every exported function and every
// vtable method runs its body through Guard, so that nothing is thrown across the ABI. What a
// failure is answered with depends on how the entry reports (an HRESULT, a BOOL with a last
// error, a LONG or DWORD error value): the entry names that with a form, which knows the value
// for running out of memory and the value for anything else. The forms with Windows values live
// with those values (platform/com/com.h); this header knows none.
#pragma once

#include <concepts>
#include <new>
#include <type_traits>
#include <utility>

namespace velmor::platform {

// FailureForm: how an entry point returning R answers a failure it did not expect.
// OutOfMemory() answers std::bad_alloc, Failure() everything else; either may also set a last
// error. Neither may throw.
template <typename Form, typename R>
concept FailureForm = requires(const Form& form) {
  { form.OutOfMemory() } -> std::convertible_to<R>;
  { form.Failure() } -> std::convertible_to<R>;
};

// Guard: runs `body` and returns what it returns; an exception becomes the form's answer.
template <typename Form, typename Body, typename R = std::invoke_result_t<Body&>>
  requires FailureForm<Form, R>
R Guard(const Form& form, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    return form.OutOfMemory();
  } catch (...) {
    return form.Failure();
  }
}

}  // namespace velmor::platform
