// Operation: the object every member's body works through. It holds the control's state and the
// module's inputs, and its steps are the ones members share: acquire the provider context, open
// a store, find the signer that CN names, open the signer's key. Each step fills a working
// handle of the state (released by the frame whatever way the body ends) and answers with the
// member's own code when it fails, so that a body reads as its list of steps.
#pragma once

#include <string_view>
#include <type_traits>
#include <utility>

#include "operation/frame.h"
#include "operation/state.h"

namespace velmor {

// SignerCodes: a member's codes for the three steps that reach the signer certificate.
struct SignerCodes {
  ResultCode noContext;  // answered with the last error
  ResultCode noStore;
  ResultCode noSigner;
};

// SignerKeyCodes: a member's codes for opening the signer's key.
struct SignerKeyCodes {
  ResultCode noKeyRecord;     // the certificate names no readable key-provider record
  ResultCode recordNoMemory;  // no memory for the record
  ResultCode noContainer;     // the container cannot be opened, or holds another key; with the
                              // last error
};

class Operation {
 public:
  Operation(CtrlState& state, const Inputs& inputs) noexcept : state_(state), inputs_(inputs) {}
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  const Inputs& in() const { return inputs_; }
  CtrlState& state() { return state_; }
  const CtrlState& state() const { return state_; }

  // The working handles as the steps left them (borrowed; zero / null before their step).
  HCRYPTPROV prov() const { return state_.m_working.prov.get().value; }
  HCRYPTPROV keyProv() const { return state_.m_working.keyProv.get().value; }
  HCERTSTORE store() const { return state_.m_working.store.get(); }
  PCCERT_CONTEXT signer() const { return state_.m_working.signer.get(); }
  // keySpec: the signer key's kind, as its key-provider record names it (after OpenSignerKey).
  DWORD keySpec() const { return keySpec_; }

  // AcquireContext: the control's provider context (AcquireProviderContext); fails with
  // `noContext` and the last error.
  Outcome AcquireContext(ResultCode noContext);
  // OpenStore: the user's system store `name` on the provider context; fails with `noStore`.
  Outcome OpenStore(const char* name, ResultCode noStore);
  // FindSigner: the certificate in the open store that the CN input names and that passes the
  // signer rule (getMySignerCert); fails with `noSigner`.
  Outcome FindSigner(ResultCode noSigner);
  // OpenSigner: the three steps above, with "MY" as the store.
  Outcome OpenSigner(const SignerCodes& codes);
  // OpenSignerKey: with the signer found, opens the container its key-provider record names
  // and checks that the key in it is the certificate's. `pinDialogText` (borrowed for the call;
  // null: none) goes with the key's context as the text about to be signed (PP_SIGNED_TEXT): a
  // token that asks for its PIN shows the start of it.
  Outcome OpenSignerKey(const SignerKeyCodes& codes, const char* pinDialogText = nullptr);

  // ReleaseHandles: the frame's end of the operation (CtrlState::ReleaseHandles).
  void ReleaseHandles() noexcept { state_.ReleaseHandles(); }

 private:
  CtrlState& state_;
  const Inputs& inputs_;
  DWORD keySpec_ = 0;
};

// RunOperation: a member's frame: the body receives an Operation on `state` and the module's
// inputs, and runs in the frame of operation/frame.h.
template <typename Body>
  requires std::is_invocable_v<Body, Operation&>
std::string RunOperation(CtrlState& state, ResultCode noMemoryCode, Body&& body) noexcept {
  Operation op(state, ModuleInputs());
  return RunOperation(op, noMemoryCode, std::forward<Body>(body));
}

}  // namespace velmor
