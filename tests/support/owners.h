// The owners of what the tests, benchmarks and fuzzers make themselves, in one place.
//
// PCRE2 is the independent oracle of the pattern tests and a yardstick of the pattern benchmark;
// no product code uses it, so its types are registered here, once, with the functions that free
// them. The OpenSSL types are registered in platform/crypt/owners.h; the names below are only
// short names for those registered owners. Headers only: a fuzzer that links nothing of
// tests/support can include it.
#pragma once

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include "platform/base/owner.h"
#include "platform/crypt/owners.h"

namespace velmor::platform {

// PCRE2 (8-bit code units)
VELMOR_MAKE_DELETER(pcre2_code, pcre2_code_free);
VELMOR_MAKE_DELETER(pcre2_match_data, pcre2_match_data_free);
VELMOR_MAKE_DELETER(pcre2_match_context, pcre2_match_context_free);

}  // namespace velmor::platform

namespace velmor::testing::owners {

using PcreCode = platform::UniquePtr<pcre2_code>;
using PcreMatchData = platform::UniquePtr<pcre2_match_data>;
using PcreMatchContext = platform::UniquePtr<pcre2_match_context>;

using Bio = platform::UniquePtr<BIO>;
using Bn = platform::UniquePtr<BIGNUM>;
using BnCtx = platform::UniquePtr<BN_CTX>;
using MdCtx = platform::UniquePtr<EVP_MD_CTX>;
using ParamBuilder = platform::UniquePtr<OSSL_PARAM_BLD>;
using Params = platform::UniquePtr<OSSL_PARAM>;
using Pkcs7 = platform::UniquePtr<PKCS7>;
using Pkey = platform::UniquePtr<EVP_PKEY>;
using PkeyCtx = platform::UniquePtr<EVP_PKEY_CTX>;
using X509Cert = platform::UniquePtr<X509>;

}  // namespace velmor::testing::owners
