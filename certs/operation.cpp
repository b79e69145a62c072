// The steps members share, written once: provider context, store, signer, signer key.
#include "certs/operation.h"

#include <cstring>
#include <optional>
#include <string>

#include "certs/context.h"
#include "certs/find.h"

namespace velmor {

Outcome Operation::AcquireContext(ResultCode noContext) {
  HCRYPTPROV prov = 0;
  if (AcquireProviderContext(&prov) == 0) return Outcome::Fail(noContext, GetLastError());
  state_.m_working.prov.reset(UniqueProv::pointer(prov));
  return {};
}

Outcome Operation::OpenStore(const char* name, ResultCode noStore) {
  state_.m_working.store.reset(CertOpenSystemStoreA(prov(), name));
  if (!state_.m_working.store) return Outcome::Fail(noStore);
  return {};
}

Outcome Operation::FindSigner(ResultCode noSigner) {
  state_.m_working.signer.reset(getMySignerCert(store(), inputs_.CN()));
  if (!state_.m_working.signer) return Outcome::Fail(noSigner);
  return {};
}

Outcome Operation::OpenSigner(const SignerCodes& codes) {
  if (Outcome step = AcquireContext(codes.noContext); step.Failed()) return step;
  if (Outcome step = OpenStore("MY", codes.noStore); step.Failed()) return step;
  return FindSigner(codes.noSigner);
}

Outcome Operation::OpenSignerKey(const SignerKeyCodes& codes, const char* pinDialogText) {
  MallocBytes infoBuffer;
  switch (ReadKeyProvInfo(signer(), infoBuffer)) {
    case KeyProvInfoStatus::kOk:
      break;
    case KeyProvInfoStatus::kUnreadable:
      return Outcome::Fail(codes.noKeyRecord);
    case KeyProvInfoStatus::kNoMemory:
      return Outcome::Fail(codes.recordNoMemory);
  }
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(infoBuffer.get());

  std::optional<std::string> container;
  std::optional<std::string> provider;
  if (info->pwszContainerName != nullptr) {
    container = KeyProvNameToAnsi(info->pwszContainerName);
    if (!container) return Outcome::Fail(codes.noContainer, GetLastError());
  }
  if (info->pwszProvName != nullptr) {
    provider = KeyProvNameToAnsi(info->pwszProvName);
    if (!provider) return Outcome::Fail(codes.noContainer, GetLastError());
  }

  // The text about to be signed travels on the key's context, for a token's PIN dialog.
  CRYPT_KEY_PROV_PARAM signedText{};
  signedText.dwParam = PP_SIGNED_TEXT;
  signedText.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(pinDialogText));
  signedText.cbData = pinDialogText == nullptr ? 0 : static_cast<DWORD>(std::strlen(pinDialogText));
  HCRYPTPROV keyProv = 0;
  if (!CryptAcquireContextParamsA(&keyProv, container ? container->c_str() : nullptr,
                                  provider ? provider->c_str() : nullptr, PROV_RSA_FULL, 0,
                                  &signedText, pinDialogText == nullptr ? 0 : 1)) {
    return Outcome::Fail(codes.noContainer, GetLastError());
  }
  state_.m_working.keyProv.reset(UniqueProv::pointer(keyProv));
  keySpec_ = info->dwKeySpec;
  // A key that is not the certificate's would give signatures that verify with nothing.
  if (!KeyMatchesCertificate(keyProv, keySpec_, signer())) {
    return Outcome::Fail(codes.noContainer, NTE_BAD_KEY);
  }
  return {};
}

}  // namespace velmor
