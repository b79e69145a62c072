// The owners of the handles this layer hands out, for its callers: every context, key, hash,
// certificate and store taken is held in one of these, so that it is released on every path.
// Library-free (crypt.h and platform/base/owner.h only): the operations and the hosts use it.
#pragma once

#include <memory>

#include "platform/base/owner.h"
#include "platform/crypt/crypt.h"

namespace velmor::crypt {

namespace handles_detail {
inline void ReleaseProv(HCRYPTPROV prov) { CryptReleaseContext(prov, 0); }
}  // namespace handles_detail

// UniqueHash / UniqueKey / UniqueProv: a hash object, a key, a provider context
// (CryptDestroyHash, CryptDestroyKey, CryptReleaseContext(…, 0)).
VELMOR_INT_OWNER(UniqueHash, HCRYPTHASH, 0, CryptDestroyHash);
VELMOR_INT_OWNER(UniqueKey, HCRYPTKEY, 0, CryptDestroyKey);
VELMOR_INT_OWNER(UniqueProv, HCRYPTPROV, 0, handles_detail::ReleaseProv);

// UniqueCert: a certificate context (CertFreeCertificateContext).
struct CertFreer {
  void operator()(const CERT_CONTEXT* cert) const noexcept { CertFreeCertificateContext(cert); }
};
using UniqueCert = std::unique_ptr<const CERT_CONTEXT, CertFreer>;

// UniqueStore: a certificate store (CertCloseStore with CERT_CLOSE_STORE_CHECK_FLAG).
struct StoreCloser {
  void operator()(void* store) const noexcept { CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG); }
};
using UniqueStore = std::unique_ptr<void, StoreCloser>;

}  // namespace velmor::crypt
