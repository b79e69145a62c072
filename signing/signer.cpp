#include "signing/signer.h"

#include <cstring>

namespace velmor::signing {

Outcome SignWithSignerKey(Operation& op, const SignCodes& codes, const HashFeeder& feed,
                          const char* pinDialogText, Signature& signature) {
  if (Outcome step = op.OpenSignerKey(codes.key, pinDialogText); step.Failed()) return step;

  HCRYPTHASH rawHash = 0;
  if (!CryptCreateHash(op.keyProv(), CALG_MD5, 0, 0, &rawHash)) {
    return Outcome::Fail(codes.noHash, GetLastError());
  }
  UniqueHash hash{HashHandle(rawHash)};

  if (Outcome fed = feed(rawHash); fed.Failed()) return fed;

  DWORD length = 0;
  if (!CryptSignHashA(rawHash, op.keySpec(), nullptr, 0, nullptr, &length) || length == 0) {
    return Outcome::Fail(codes.noSignatureSize);
  }
  MallocBytes bytes(static_cast<BYTE*>(std::calloc(length, 1)));
  if (!bytes) return Outcome::Fail(codes.noMemory);
  if (!CryptSignHashA(rawHash, op.keySpec(), nullptr, 0, bytes.get(), &length)) {
    return Outcome::Fail(codes.signFailed);
  }
  signature.bytes = std::move(bytes);
  signature.length = length;
  return {};
}

HashFeeder HashText(const char* text, ResultCode hashFailed) {
  return [text, hashFailed](HCRYPTHASH hash) -> Outcome {
    if (!CryptHashData(hash, reinterpret_cast<const BYTE*>(text),
                       static_cast<DWORD>(std::strlen(text)), 0)) {
      return Outcome::Fail(hashFailed);
    }
    return {};
  };
}

std::string SignatureHex(const Signature& signature) {
  return HexEncode(signature.bytes.get(), signature.length, HexCase::kUpper, HexOrder::kReversed);
}

}  // namespace velmor::signing
