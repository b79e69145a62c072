#include "signing/signer.h"

#include <unistd.h>

#include <cstring>
#include <optional>

namespace velmor::signing {
std::string OpenSigner(CtrlState& state, TraceSteps trace) {
  if (AcquireProviderContext(&state.m_hProv) == 0) {
    return ResultString::Failure(1, GetLastError());
  }
  state.m_hStore = CertOpenSystemStoreA(state.m_hProv, "MY");
  if (state.m_hStore == nullptr) return ResultString::Failure(2);
  if (trace != TraceSteps::kNone) Trace("open store");
  state.m_pSignerCert = getMySignerCert(state.m_hStore);
  if (state.m_pSignerCert == nullptr) return ResultString::Failure(3);
  if (trace == TraceSteps::kStoreAndSigner) Trace("getMySignerCert");
  return {};
}

std::string SignWithSignerKey(CtrlState& state, const HashFeeder& feed, bool traceContainer,
                              Signature& signature) {
  MallocBytes infoBuffer;
  switch (ReadKeyProvInfo(state.m_pSignerCert, infoBuffer)) {
    case KeyProvInfoStatus::kOk:
      break;
    case KeyProvInfoStatus::kUnreadable:
      return ResultString::Failure(99);
    case KeyProvInfoStatus::kNoMemory:
      return ResultString::Failure(100);
  }
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(infoBuffer.get());

  std::optional<std::string> container;
  std::optional<std::string> provider;
  if (info->pwszContainerName != nullptr) {
    container = KeyProvNameToAnsi(info->pwszContainerName);
    if (!container) return ResultString::Failure(90, GetLastError());
  }
  if (info->pwszProvName != nullptr) {
    provider = KeyProvNameToAnsi(info->pwszProvName);
    if (!provider) return ResultString::Failure(90, GetLastError());
  }
  if (traceContainer) Trace(container ? container->c_str() : nullptr);

  if (!CryptAcquireContextA(&state.m_hKeyProv, container ? container->c_str() : nullptr,
                            provider ? provider->c_str() : nullptr, PROV_RSA_FULL, 0)) {
    const DWORD error = GetLastError();
    state.m_hKeyProv = 0;
    return ResultString::Failure(90, error);
  }
  // A key that is not the certificate's would give signatures that verify with nothing.
  if (!KeyMatchesCertificate(state.m_hKeyProv, info->dwKeySpec, state.m_pSignerCert)) {
    return ResultString::Failure(90, NTE_BAD_KEY);
  }

  HCRYPTHASH rawHash = 0;
  if (!CryptCreateHash(state.m_hKeyProv, CALG_MD5, 0, 0, &rawHash)) {
    return ResultString::Failure(92, GetLastError());
  }
  UniqueHash hash{HashHandle(rawHash)};

  if (std::string fed = feed(rawHash); !fed.empty()) return fed;

  DWORD length = 0;
  if (!CryptSignHashA(rawHash, info->dwKeySpec, nullptr, 0, nullptr, &length) || length == 0) {
    return ResultString::Failure(4);
  }
  MallocBytes bytes(static_cast<BYTE*>(std::calloc(length, 1)));
  if (!bytes) return ResultString::Failure(5);
  if (!CryptSignHashA(rawHash, info->dwKeySpec, nullptr, 0, bytes.get(), &length)) {
    return ResultString::Failure(6);
  }
  signature.bytes = std::move(bytes);
  signature.length = length;
  return {};
}

std::string HashSignDataText(HCRYPTHASH hash) {
  if (!CryptHashData(hash, reinterpret_cast<const BYTE*>(g_szSignData),
                     static_cast<DWORD>(std::strlen(g_szSignData)), 0)) {
    return ResultString::Failure(93);
  }
  return {};
}

std::string SignatureHex(const Signature& signature) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(2 * std::size_t{signature.length});
  const BYTE* bytes = signature.bytes.get();
  for (DWORD i = signature.length; i > 0; --i) {
    const BYTE b = bytes[i - 1];
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return hex;
}

}  // namespace velmor::signing
