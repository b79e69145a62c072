// The owners of the OpenSSL objects the fuzz targets make themselves (key derivation, the
// verification oracle), registered once.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

namespace velmor::fuzz {

template <auto Free>
struct FreeWith {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
using Bn = std::unique_ptr<BIGNUM, FreeWith<BN_clear_free>>;
using BnCtx = std::unique_ptr<BN_CTX, FreeWith<BN_CTX_free>>;
using ParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, FreeWith<OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, FreeWith<OSSL_PARAM_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, FreeWith<EVP_PKEY_CTX_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, FreeWith<EVP_MD_CTX_free>>;
using Bio = std::unique_ptr<BIO, FreeWith<BIO_free_all>>;

}  // namespace velmor::fuzz
