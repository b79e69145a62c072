// Private to certs/: owners for the platform handles the searches open and free, and the
// subject-text helpers shared by the signer search and the certificate list.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "certs/find.h"

namespace velmor::certs_internal {

// StoreWalker: enumerates a store the way CertEnumCertificatesInStore wants it (each call
// releases the previous context). The context it stands on is freed when the walker goes away,
// unless Take() handed it to the caller.
class StoreWalker {
 public:
  explicit StoreWalker(HCERTSTORE store) : store_(store) {}
  ~StoreWalker() {
    if (current_ != nullptr) CertFreeCertificateContext(current_);
  }
  StoreWalker(const StoreWalker&) = delete;
  StoreWalker& operator=(const StoreWalker&) = delete;

  // Next: the following certificate (borrowed), or null at the end.
  PCCERT_CONTEXT Next() {
    current_ = CertEnumCertificatesInStore(store_, current_);
    return current_;
  }
  // Take: hands the current certificate to the caller and ends the walk.
  PCCERT_CONTEXT Take() {
    PCCERT_CONTEXT cert = current_;
    current_ = nullptr;
    return cert;
  }

 private:
  HCERTSTORE store_;
  PCCERT_CONTEXT current_ = nullptr;
};

// The subject text is written into a buffer of this size, as CertNameToStrA produces it.
inline constexpr std::size_t kSubjectTextSize = 2048;
// Name components are cut to at most this many characters.
inline constexpr std::size_t kComponentChars = 512;

// SubjectText: the certificate's subject in the X.500 string form, always terminated; empty
// when the platform cannot write it.
void SubjectText(PCCERT_CONTEXT cert, char (&text)[kSubjectTextSize]);

}  // namespace velmor::certs_internal
