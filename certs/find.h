// Finding certificates: by the serial text pages name them by (with the organisational-unit
// rule for the signer), the issuer a page names, and certificates handed over as Base64 text.
#pragma once

#include <string>
#include <string_view>

#include "operation/handles.h"
#include "platform/crypt/crypt.h"

namespace velmor {

// DecodeCertificate: the certificate in a Base64 DER text, or null when the text is not Base64
// or the bytes are not a certificate. The caller owns the result.
UniqueCert DecodeCertificate(const char* base64);

// SerialHex: the certificate's serial number as pages name it (platform/crypt/crypt.h). Empty
// for a null certificate. Certificates are named by this text, compared exactly.
using crypt::SerialHex;
using crypt::SerialHexIs;

// FindSubjectKey: the first `key` ("CN=", "OU=") in a subject text as CertNameToStrA writes it
// that starts an attribute, that is one that stands outside a quoted value; null when there is
// none. `text` must start outside quotes. The one rule for finding a name component: the
// signer filter, the certificate list and the CN setter all use it, so that a certificate has
// one name everywhere.
const char* FindSubjectKey(const char* text, std::string_view key);

// SignerOuFilter: whether an upper-cased subject text carries "OU=QVA" or "OU=QWB" as its first
// or second OU component. Only keys that start an attribute count: an "OU=" inside a quoted
// value of another attribute is not an OU component.
bool SignerOuFilter(const char* upperSubject);

// getMySignerCert: the first certificate in `store` (the user's "MY" store) that passes
// SignerOuFilter and whose SerialHex equals `serial` (the CN input); null when there is none or
// `serial` is empty. The caller owns the result (an operation keeps it in its working handles).
PCCERT_CONTEXT getMySignerCert(HCERTSTORE store, std::string_view serial);

// FindCertBySerial: the first certificate in `store` whose SerialHex equals `serial`; null
// when there is none or `serial` is empty. The caller owns the result.
PCCERT_CONTEXT FindCertBySerial(HCERTSTORE store, std::string_view serial);

// FindIssuerCert: the certificate `issuerSerial` (the IssuerCN input) names, from the user's
// "CA", "Root" or "Trust" store, in that order. A store that cannot be opened ends the search.
// Null when not found; the caller frees the result with CertFreeCertificateContext.
PCCERT_CONTEXT FindIssuerCert(std::string_view issuerSerial);

}  // namespace velmor
