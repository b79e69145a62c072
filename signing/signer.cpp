#include "signing/signer.h"

#include <unistd.h>

#include <cstring>
#include <optional>

namespace velmor::signing {
std::string OpenSigner(CtrlState& state, TraceSteps trace) {
  if (AcquireProviderContext(&state.m_hProv) == 0) {
    const DWORD error = GetLastError();
    // Nothing should be held here, but a half-filled field must not outlive the call.
    state.ReleaseHandles();
    return FormatError("E:0001", error);
  }
  state.m_hStore = CertOpenSystemStoreA(state.m_hProv, "MY");
  if (state.m_hStore == nullptr) {
    state.ReleaseHandles();
    return "E:0002";
  }
  if (trace != TraceSteps::kNone) Trace("open store");
  state.m_pSignerCert = getMySignerCert(state.m_hStore);
  if (state.m_pSignerCert == nullptr) {
    state.ReleaseHandles();
    return "E:0003";
  }
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
      return "E:0099";
    case KeyProvInfoStatus::kNoMemory:
      return "E:0100";
  }
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(infoBuffer.get());

  std::optional<std::string> container;
  std::optional<std::string> provider;
  if (info->pwszContainerName != nullptr) {
    container = KeyProvNameToAnsi(info->pwszContainerName);
    if (!container) return FormatError("E:0090", GetLastError());
  }
  if (info->pwszProvName != nullptr) {
    provider = KeyProvNameToAnsi(info->pwszProvName);
    if (!provider) return FormatError("E:0090", GetLastError());
  }
  if (traceContainer) Trace(container ? container->c_str() : nullptr);

  if (!CryptAcquireContextA(&state.m_hKeyProv, container ? container->c_str() : nullptr,
                            provider ? provider->c_str() : nullptr, PROV_RSA_FULL, 0)) {
    const DWORD error = GetLastError();
    state.m_hKeyProv = 0;
    return FormatError("E:0090", error);
  }

  HCRYPTHASH rawHash = 0;
  if (!CryptCreateHash(state.m_hKeyProv, CALG_MD5, 0, 0, &rawHash)) {
    return FormatError("E:0092", GetLastError());
  }
  UniqueHash hash{HashHandle(rawHash)};

  if (std::string fed = feed(rawHash); !fed.empty()) return fed;

  DWORD length = 0;
  if (!CryptSignHashA(rawHash, info->dwKeySpec, nullptr, 0, nullptr, &length) || length == 0) {
    return "E:0004";
  }
  MallocBytes bytes(static_cast<BYTE*>(std::calloc(length, 1)));
  if (!bytes) return "E:0005";
  if (!CryptSignHashA(rawHash, info->dwKeySpec, nullptr, 0, bytes.get(), &length)) {
    return "E:0006";
  }
  signature.bytes = std::move(bytes);
  signature.length = length;
  return {};
}

std::string HashSignDataText(HCRYPTHASH hash) {
  if (!CryptHashData(hash, reinterpret_cast<const BYTE*>(g_szSignData),
                     static_cast<DWORD>(std::strlen(g_szSignData)), 0)) {
    return "E:0093";
  }
  return {};
}

void FdCloser::operator()(FdHandle fd) const { ::close(fd.value); }

void AppendSignatureHex(std::string& out, const Signature& signature) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const BYTE* bytes = signature.bytes.get();
  for (DWORD i = signature.length; i > 0; --i) {
    const BYTE b = bytes[i - 1];
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
}

void AppendLength(std::string& out, std::size_t value) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%08zu", value);
  out += digits;
}

void AppendSignatureField(std::string& out, const Signature& signature) {
  AppendLength(out, 2 * std::size_t{signature.length});
  AppendSignatureHex(out, signature);
}

}  // namespace velmor::signing
