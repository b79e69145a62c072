// The OpenSSL half of the failure mapper (see platform/base/failure.h). Only platform files
// that call OpenSSL include it: it brings OpenSSL's error headers.
#pragma once

#include <openssl/asn1err.h>
#include <openssl/err.h>
#include <openssl/pkcs7err.h>

#include <cstdint>

#include "platform/base/failure.h"

namespace velmor::platform {

// OpenSslFailureKind: the kind of an error from OpenSSL's queue (0: nothing was queued).
inline Failure OpenSslFailureKind(unsigned long e) {
  if (e == 0) return Failure::kOther;
  if (ERR_GET_REASON(e) == ERR_R_MALLOC_FAILURE) return Failure::kOutOfMemory;
  if (ERR_GET_LIB(e) == ERR_LIB_ASN1) return Failure::kMalformed;
  if (ERR_GET_LIB(e) == ERR_LIB_PKCS7) {
    switch (ERR_GET_REASON(e)) {
      case PKCS7_R_DIGEST_FAILURE: return Failure::kDigestMismatch;
      case PKCS7_R_UNKNOWN_DIGEST_TYPE: return Failure::kUnknownAlgorithm;
      case PKCS7_R_NO_CONTENT: return Failure::kNoContent;
      default: break;
    }
  }
  return Failure::kOther;
}

// MapOpenSslFailure: `values`' answer for the newest error on OpenSSL's queue, recording `call`
// (by default the last VELMOR_CALL) with OpenSSL's text for it as LastFailedCall. The queue is
// emptied, so that its entries are not taken later for the reason another call failed.
inline std::uint32_t MapOpenSslFailure(const FailureValues& values,
                                       const char* call = NotedCall()) noexcept {
  const unsigned long e = ERR_peek_last_error();
  char reason[256] = "";
  if (e != 0) ERR_error_string_n(e, reason, sizeof reason);
  ERR_clear_error();
  RecordFailedCall(call, reason);
  return values[OpenSslFailureKind(e)];
}

}  // namespace velmor::platform
