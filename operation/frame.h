// The frame every member of the control runs in.
//
// Each getter and method has the same shape: acquire the provider context, find a certificate
// or key, do the work, give the handles back, answer with a result string. The body of a member
// does the first three and answers; the frame does the rest, the same way for all of them, so
// that no path can skip it: it releases the working handles whatever way the body ends, and it
// is the one place that catches, turning an allocation failure anywhere inside into the
// member's own code. Nothing is thrown out of a member.
#pragma once

#include <string>
#include <type_traits>
#include <utility>

#include "operation/result.h"
#include "operation/state.h"

namespace velmor {

// The answer of a member whose result reports a stored value and is never a code (the CN,
// EncryptCN, DecryptCN and IssuerCN getters): when memory runs out it answers the empty text,
// as a string that could not be allocated reaches the page.
inline constexpr int kAnswerEmpty = -1;

// RunOperation: runs `body` (returning the result text) in the frame of `frame`: the control's
// state itself, or an operation object over it (certs/operation.h), which the body then
// receives. The working handles are released (frame.ReleaseHandles()) after the body's own
// hashes, keys and buffers (gone with its scope) and before the answer goes back; an exception
// anywhere in the body, which can only be memory running out, answers `noMemoryCode` as "E:" +
// four digits (or the empty text for kAnswerEmpty).
template <typename Frame, typename Body>
  requires std::is_invocable_v<Body, Frame&> || std::is_invocable_v<Body>
std::string RunOperation(Frame& frame, ResultCode noMemoryCode, Body&& body) noexcept {
  try {
    std::string result;
    if constexpr (std::is_invocable_v<Body, Frame&>) {
      result = std::forward<Body>(body)(frame);
    } else {
      result = std::forward<Body>(body)();
    }
    frame.ReleaseHandles();
    return result;
  } catch (...) {
    frame.ReleaseHandles();
    return noMemoryCode.value() == kAnswerEmpty ? std::string()
                                                : ResultString::Failure(noMemoryCode);
  }
}

// RunSetter: runs a property setter's `body` in the frame. Setters never report failure: one
// that runs out of memory has refused the value, and `refuse` (which must not throw) puts the
// buffers the setter writes back into the state of a refused value. The page notices only
// through a later getter, as with any refusal.
template <typename Body, typename Refuse>
void RunSetter(Body&& body, Refuse&& refuse) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
    std::forward<Refuse>(refuse)();
  }
}
template <typename Body>
void RunSetter(Body&& body) noexcept {
  RunSetter(std::forward<Body>(body), [] {});
}

}  // namespace velmor
