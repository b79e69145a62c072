// The getProviderName and getCertList methods.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "certs/context.h"
#include "certs/find.h"
#include "certs/operation.h"
#include "certs/properties.h"
#include "certs/internal.h"
#include "codec/codec.h"

namespace velmor {
namespace {
using namespace certs_internal;

enum class ProviderNameCode {
  kNoContext = 1,  // with the last error
  kNoStore = 2,
  kNoSigner = 3,
  kNoKeyRecord = 4,
  kNoMemory = 5,  // the key-provider record, or anything else, could not be held
};
constexpr SignerCodes kProviderNameSigner{ProviderNameCode::kNoContext, ProviderNameCode::kNoStore,
                                          ProviderNameCode::kNoSigner};

enum class CertListCode {
  kNoContext = 1,  // with the last error
  kNoStore = 2,
  kNoMemory = 5,  // the list could not be held
};
}  // namespace

std::string getProviderName(CtrlState& state) {
  return RunOperation(state, ProviderNameCode::kNoMemory, [&](Operation& op) -> std::string {
    if (Outcome step = op.OpenSigner(kProviderNameSigner); step.Failed()) {
      return std::move(step).Answer();
    }
    MallocBytes info;
    switch (ReadKeyProvInfo(op.signer(), info)) {
      case KeyProvInfoStatus::kOk:
        break;
      case KeyProvInfoStatus::kUnreadable:
        return ResultString::Failure(ProviderNameCode::kNoKeyRecord);
      case KeyProvInfoStatus::kNoMemory:
        return ResultString::Failure(ProviderNameCode::kNoMemory);
    }
    const auto* provInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.get());
    // A record without a provider name, or one that cannot be converted, gives the empty text.
    if (provInfo->pwszProvName == nullptr) return {};
    return KeyProvNameToAnsi(provInfo->pwszProvName).value_or(std::string());
  });
}

KeyProvInfoStatus ReadKeyProvInfo(PCCERT_CONTEXT cert, MallocBytes& info) {
  info.reset();
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
    return KeyProvInfoStatus::kUnreadable;
  }
  // The record is followed by the strings its pointers point at; anything shorter than the
  // record itself cannot be one.
  if (size < sizeof(CRYPT_KEY_PROV_INFO)) return KeyProvInfoStatus::kUnreadable;
  info.reset(static_cast<BYTE*>(std::malloc(size)));
  if (!info) return KeyProvInfoStatus::kNoMemory;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, info.get(), &size)) {
    info.reset();
    return KeyProvInfoStatus::kUnreadable;
  }
  return KeyProvInfoStatus::kOk;
}

std::optional<std::string> KeyProvNameToAnsi(const WCHAR* name) {
  return com::WideToMultiByte(CP_ACP, name, -1);
}

void EnumSignerCerts(HCERTSTORE store, char* out, DWORD* size) {
  std::size_t used = 0;
  if (out != nullptr) {
    if (*size > 0) out[0] = '\0';
  } else {
    *size = 1;  // the terminator
  }
  StoreWalker walk(store);
  while (PCCERT_CONTEXT cert = walk.Next()) {
    char subject[kSubjectTextSize];
    SubjectText(cert, subject);
    // The common name keeps its case: it is cut before the subject is upper-cased. A subject
    // without one gives an empty name part.
    char commonName[kComponentChars + 1] = "";
    if (const char* cn = FindSubjectKey(subject, "CN=")) {
      CopyUntilComma(commonName, kComponentChars, cn);
    }
    UpperCaseAscii(subject);
    if (!SignerOuFilter(subject)) continue;

    const std::string serial = SerialHex(cert);
    const std::size_t nameLength = std::strlen(commonName);
    const std::size_t entryLength = nameLength + serial.size() + 2;  // "," and ";"
    if (out == nullptr) {
      // Saturate rather than wrap: a list that cannot be counted cannot be filled either.
      const std::size_t room = std::numeric_limits<DWORD>::max() - *size;
      *size = entryLength > room ? std::numeric_limits<DWORD>::max()
                                 : *size + static_cast<DWORD>(entryLength);
    } else if (used + entryLength < *size) {
      // The store may have changed since it was counted: an entry that no longer fits is left
      // out instead of running past the buffer.
      char* at = out + used;
      std::memcpy(at, commonName, nameLength);
      at += nameLength;
      *at++ = ',';
      std::memcpy(at, serial.data(), serial.size());
      at += serial.size();
      *at++ = ';';
      *at = '\0';
      used += entryLength;
    }
  }
}

std::string getCertList(CtrlState& state) {
  return RunOperation(state, CertListCode::kNoMemory, [&](Operation& op) {
    if (Outcome step = op.AcquireContext(CertListCode::kNoContext); step.Failed()) {
      return std::move(step).Answer();
    }
    if (Outcome step = op.OpenStore("MY", CertListCode::kNoStore); step.Failed()) {
      return std::move(step).Answer();
    }
    DWORD count = 0;
    EnumSignerCerts(op.store(), nullptr, &count);
    std::string list(count, '\0');
    EnumSignerCerts(op.store(), list.data(), &count);
    list.resize(std::strlen(list.c_str()));
    return list;
  });
}

}  // namespace velmor
