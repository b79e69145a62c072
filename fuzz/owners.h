// Names for the owners of the OpenSSL objects the fuzz targets make themselves (key derivation,
// the verification oracle). The owners themselves are registered once, in platform/crypt/owners.h.
#pragma once

#include "platform/crypt/owners.h"

namespace velmor::fuzz {

using Bn = platform::UniquePtr<BIGNUM>;
using BnCtx = platform::UniquePtr<BN_CTX>;
using ParamBuilder = platform::UniquePtr<OSSL_PARAM_BLD>;
using Params = platform::UniquePtr<OSSL_PARAM>;
using PkeyCtx = platform::UniquePtr<EVP_PKEY_CTX>;
using Pkey = platform::UniquePtr<EVP_PKEY>;
using MdCtx = platform::UniquePtr<EVP_MD_CTX>;
using Bio = platform::UniquePtr<BIO>;

}  // namespace velmor::fuzz
