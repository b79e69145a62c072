// Session keys and key blobs, byte for byte, with the openssl tool as the independent peer.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>

#include "platform/crypt/crypt.h"
#include "platform/crypt/owners.h"
#include "tests/support/pki.h"

namespace {

using namespace velmor::testing;
using velmor::platform::UniquePtr;

DWORD Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<DWORD>(b[at + 3]) << 24);
}

void PutLe32(std::vector<std::uint8_t>& b, DWORD v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Bn: a number of the test key, least significant byte first, padded to `len`.
std::vector<std::uint8_t> Bn(EVP_PKEY* key, const char* name, std::size_t len) {
  BIGNUM* raw = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &raw), 1);
  UniquePtr<BIGNUM> bn(raw);
  std::vector<std::uint8_t> out(len);
  BN_bn2lebinpad(bn.get(), out.data(), static_cast<int>(len));
  return out;
}

UniquePtr<EVP_PKEY> LoadKey(const TestKey& key) {
  UniquePtr<BIO> bio(BIO_new_mem_buf(key.privatePem.data(), static_cast<int>(key.privatePem.size())));
  return UniquePtr<EVP_PKEY>(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    recipient_ = MakeCert(Spec("/CN=Recipient"));
    ImportWithKey("MY", recipient_, AT_KEYEXCHANGE, "recipient");
    ASSERT_TRUE(CryptAcquireContextA(&prov_, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    cert_ = CertCreateCertificateContext(X509_ASN_ENCODING, recipient_.der.data(),
                                         static_cast<DWORD>(recipient_.der.size()));
    ASSERT_NE(cert_, nullptr);
    ASSERT_TRUE(CryptImportPublicKeyInfo(prov_, X509_ASN_ENCODING, &cert_->pCertInfo->SubjectPublicKeyInfo,
                                         &recipientPub_));
  }
  void TearDown() override {
    CryptDestroyKey(recipientPub_);
    CertFreeCertificateContext(cert_);
    CryptReleaseContext(prov_, 0);
  }

  std::vector<std::uint8_t> Export(HCRYPTKEY key, HCRYPTKEY wrap, DWORD type) {
    DWORD len = 0;
    EXPECT_TRUE(CryptExportKey(key, wrap, type, 0, nullptr, &len));
    std::vector<std::uint8_t> blob(len);
    EXPECT_TRUE(CryptExportKey(key, wrap, type, 0, blob.data(), &len));
    blob.resize(len);
    return blob;
  }

  // The recipient's own context and key exchange key, as Decrypt opens them.
  void WithRecipientKey(const std::function<void(HCRYPTPROV, HCRYPTKEY)>& body) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "recipient", nullptr, PROV_RSA_FULL, 0));
    HCRYPTKEY user = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &user));
    body(prov, user);
    CryptDestroyKey(user);
    CryptReleaseContext(prov, 0);
  }

  TempDataHome home_;
  TestCert recipient_;
  HCRYPTPROV prov_ = 0;
  PCCERT_CONTEXT cert_ = nullptr;
  HCRYPTKEY recipientPub_ = 0;
};

TEST_F(SessionTest, PublicKeyBlobLayout) {
  std::vector<std::uint8_t> blob = Export(recipientPub_, 0, PUBLICKEYBLOB);
  ASSERT_EQ(blob.size(), 8u + 12u + 128u);
  EXPECT_EQ(BytesToHex(blob.data(), 8), "0602000000a40000");
  EXPECT_EQ(Le32(blob, 8), 0x31415352u);
  EXPECT_EQ(Le32(blob, 12), 1024u);
  EXPECT_EQ(Le32(blob, 16), 65537u);
  UniquePtr<EVP_PKEY> key = LoadKey(recipient_.key);
  EXPECT_EQ(std::vector<std::uint8_t>(blob.begin() + 20, blob.end()),
            Bn(key.get(), OSSL_PKEY_PARAM_RSA_N, 128));
  // Imported again, the blob gives the same key.
  HCRYPTKEY again = 0;
  ASSERT_TRUE(CryptImportKey(prov_, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &again));
  EXPECT_EQ(Export(again, 0, PUBLICKEYBLOB), blob);
  CryptDestroyKey(again);
}

struct BadBlob {
  const char* name;
  std::function<void(std::vector<std::uint8_t>&)> damage;
  DWORD error;
};

class BadPublicBlobTest : public SessionTest, public ::testing::WithParamInterface<BadBlob> {};

TEST_P(BadPublicBlobTest, IsRefusedWithinItsLength) {
  std::vector<std::uint8_t> blob = Export(recipientPub_, 0, PUBLICKEYBLOB);
  GetParam().damage(blob);
  // An exact-size copy: a read past the end would be caught by the address sanitizer.
  std::unique_ptr<BYTE[]> exact(new BYTE[blob.size()]);
  std::memcpy(exact.get(), blob.data(), blob.size());
  HCRYPTKEY key = 0;
  EXPECT_FALSE(CryptImportKey(prov_, blob.empty() ? nullptr : exact.get(),
                              static_cast<DWORD>(blob.size()), 0, 0, &key));
  EXPECT_EQ(GetLastError(), GetParam().error);
  EXPECT_EQ(key, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadPublicBlobTest,
    ::testing::Values(
        BadBlob{"Empty", [](auto& b) { b.clear(); }, NTE_BAD_LEN},
        BadBlob{"HeaderOnly", [](auto& b) { b.resize(8); }, NTE_BAD_LEN},
        BadBlob{"CutModulus", [](auto& b) { b.resize(b.size() - 1); }, NTE_BAD_LEN},
        BadBlob{"WrongVersion", [](auto& b) { b[1] = 3; }, NTE_BAD_VER},
        BadBlob{"UnknownType", [](auto& b) { b[0] = 9; }, NTE_BAD_TYPE},
        BadBlob{"WrongAlgorithm", [](auto& b) { b[5] = 0x66; }, NTE_BAD_ALGID},
        BadBlob{"WrongMagic", [](auto& b) { b[11] = '2'; }, NTE_BAD_DATA},
        BadBlob{"HugeBitLength", [](auto& b) { b[14] = 0x10; }, NTE_BAD_DATA},
        BadBlob{"BitLengthPastData", [](auto& b) { b[13] = 0x08; }, NTE_BAD_LEN},
        BadBlob{"ZeroExponent", [](auto& b) { std::memset(&b[16], 0, 4); }, NTE_BAD_DATA}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(SessionTest, SimpleBlobAndRc4MatchTheOpensslTool) {
  HCRYPTKEY session = 0;
  ASSERT_TRUE(CryptGenKey(prov_, CALG_RC4, 0x00800000 | CRYPT_EXPORTABLE, &session));
  std::vector<std::uint8_t> blob = Export(session, recipientPub_, SIMPLEBLOB);
  ASSERT_EQ(blob.size(), 12u + 128u);
  EXPECT_EQ(BytesToHex(blob.data(), 12), "0102000001680000" "00a40000");

  std::string plain = "Pay 100 SEK to account 1234-5678; reference \xE5\xE4\xF6.";
  std::vector<std::uint8_t> scratch(512, 0xAA);
  DWORD len = 512;
  ASSERT_TRUE(CryptEncrypt(session, 0, FALSE, 0, scratch.data(), &len, 512));
  std::vector<std::uint8_t> cipher(plain.begin(), plain.end());
  // In blocks of 8, the last one final, as the encryption operations feed it.
  for (std::size_t at = 0; at < cipher.size(); at += 8) {
    DWORD n = static_cast<DWORD>(std::min<std::size_t>(8, cipher.size() - at));
    BYTE work[16];
    std::memcpy(work, &cipher[at], n);
    ASSERT_TRUE(CryptEncrypt(session, 0, at + 8 >= cipher.size(), 0, work, &n, sizeof work));
    ASSERT_EQ(n, std::min<std::size_t>(8, cipher.size() - at));
    std::memcpy(&cipher[at], work, n);
  }

  auto dir = home_.path();
  std::vector<std::uint8_t> wrapped(blob.rbegin(), blob.rend() - 12);
  WriteFile(dir / "wrapped.bin", wrapped);
  WriteFile(dir / "key.pem", recipient_.key.privatePem);
  CommandResult unwrap = velmor::testing::Run(
      "openssl pkeyutl -decrypt -inkey '" + (dir / "key.pem").string() + "' -in '" +
      (dir / "wrapped.bin").string() + "' -out '" + (dir / "session.bin").string() + "'");
  ASSERT_EQ(unwrap.status, 0) << unwrap.output;
  std::vector<std::uint8_t> sessionKey = ReadFile(dir / "session.bin");
  ASSERT_EQ(sessionKey.size(), 16u);
  std::vector<std::uint8_t> input(512 + plain.size(), 0);
  std::memcpy(input.data() + 512, plain.data(), plain.size());
  WriteFile(dir / "plain.bin", input);
  CommandResult rc4 = velmor::testing::Run(
      "openssl enc -rc4 -nosalt -provider legacy -provider default -K " +
      BytesToHex(sessionKey.data(), sessionKey.size()) + " -in '" + (dir / "plain.bin").string() +
      "' -out '" + (dir / "cipher.bin").string() + "'");
  ASSERT_EQ(rc4.status, 0) << rc4.output;
  std::vector<std::uint8_t> peer = ReadFile(dir / "cipher.bin");
  ASSERT_EQ(peer.size(), 512 + plain.size());
  EXPECT_EQ(std::vector<std::uint8_t>(peer.begin() + 512, peer.end()), cipher);

  // The recipient unwraps the blob and reads the text back in one pass.
  WithRecipientKey([&](HCRYPTPROV prov, HCRYPTKEY user) {
    HCRYPTKEY imported = 0;
    ASSERT_TRUE(CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), user, 0, &imported));
    std::vector<std::uint8_t> skip(512);
    DWORD n = 512;
    CryptDecrypt(imported, 0, FALSE, 0, skip.data(), &n);
    std::vector<std::uint8_t> back = cipher;
    n = static_cast<DWORD>(back.size());
    ASSERT_TRUE(CryptDecrypt(imported, 0, TRUE, 0, back.data(), &n));
    EXPECT_EQ(std::string(back.begin(), back.end()), plain);
    CryptDestroyKey(imported);
  });
  CryptDestroyKey(session);
}

TEST_F(SessionTest, StreamRulesOfEncrypt) {
  HCRYPTKEY session = 0;
  ASSERT_TRUE(CryptGenKey(prov_, CALG_RC4, 0x00800000, &session));
  BYTE data[8] = {'a', 'b', 'c'};
  DWORD len = 3;
  EXPECT_TRUE(CryptEncrypt(session, 0, FALSE, 0, nullptr, &len, 0));  // size query
  EXPECT_EQ(len, 3u);
  len = 9;
  EXPECT_FALSE(CryptEncrypt(session, 0, FALSE, 0, data, &len, sizeof data));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  // A final call starts the key stream again, so the same text encrypts the same.
  len = 3;
  ASSERT_TRUE(CryptEncrypt(session, 0, TRUE, 0, data, &len, sizeof data));
  std::vector<std::uint8_t> first(data, data + 3);
  std::memcpy(data, "abc", 3);
  ASSERT_TRUE(CryptEncrypt(session, 0, TRUE, 0, data, &len, sizeof data));
  EXPECT_EQ(std::vector<std::uint8_t>(data, data + 3), first);
  // Not final: the state goes on.
  std::memcpy(data, "abc", 3);
  ASSERT_TRUE(CryptEncrypt(session, 0, FALSE, 0, data, &len, sizeof data));
  std::memcpy(data, "abc", 3);
  ASSERT_TRUE(CryptEncrypt(session, 0, FALSE, 0, data, &len, sizeof data));
  EXPECT_NE(std::vector<std::uint8_t>(data, data + 3), first);
  // Not exportable: no SIMPLEBLOB.
  DWORD size = 0;
  EXPECT_FALSE(CryptExportKey(session, recipientPub_, SIMPLEBLOB, 0, nullptr, &size));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY_STATE);
  HCRYPTKEY bad = 0;
  EXPECT_FALSE(CryptGenKey(prov_, CALG_RC4, 0x00830000, &bad));
  EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
  EXPECT_FALSE(CryptGenKey(prov_, 0x6610, 0, &bad));
  EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
  CryptDestroyKey(session);
}

// Blocks of any lengths, small ones and ones longer than the key stream made ahead, give the
// bytes of one pass over the whole.
TEST_F(SessionTest, BlockLengthsLeaveNoTrace) {
  HCRYPTKEY session = 0;
  ASSERT_TRUE(CryptGenKey(prov_, CALG_RC4, 0x00800000, &session));
  std::vector<BYTE> whole(20000);
  for (std::size_t i = 0; i < whole.size(); ++i) whole[i] = static_cast<BYTE>(i * 7 + 1);
  std::vector<BYTE> inBlocks = whole;
  DWORD len = static_cast<DWORD>(whole.size());
  ASSERT_TRUE(CryptEncrypt(session, 0, TRUE, 0, whole.data(), &len, len));
  const std::size_t lengths[] = {1, 8, 7, 256, 257, 4095, 8, 5000, 3, 4096, 1, 8};
  std::size_t at = 0;
  for (std::size_t i = 0; at < inBlocks.size(); ++i) {
    DWORD n = static_cast<DWORD>(std::min(lengths[i % std::size(lengths)], inBlocks.size() - at));
    const BOOL final = at + n == inBlocks.size() ? TRUE : FALSE;
    ASSERT_TRUE(i % 2 == 0 ? CryptEncrypt(session, 0, final, 0, inBlocks.data() + at, &n, n)
                           : CryptDecrypt(session, 0, final, 0, inBlocks.data() + at, &n));
    at += n;
  }
  EXPECT_EQ(inBlocks, whole);
  CryptDestroyKey(session);
}

TEST_F(SessionTest, SimpleBlobExportBufferProtocol) {
  HCRYPTKEY session = 0;
  ASSERT_TRUE(CryptGenKey(prov_, CALG_RC4, 0x00800001, &session));
  DWORD size = 0;
  ASSERT_TRUE(CryptExportKey(session, recipientPub_, SIMPLEBLOB, 0, nullptr, &size));
  EXPECT_EQ(size, 12u + 128u);
  std::vector<BYTE> blob(size, 0xEE);
  DWORD shortSize = size - 1;
  EXPECT_FALSE(CryptExportKey(session, recipientPub_, SIMPLEBLOB, 0, blob.data(), &shortSize));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(shortSize, size);
  EXPECT_EQ(blob, std::vector<BYTE>(size, 0xEE));  // nothing written into a short buffer
  // Without a key to wrap under, and as a public-key blob, a session key is refused.
  EXPECT_FALSE(CryptExportKey(session, 0, SIMPLEBLOB, 0, nullptr, &size));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  EXPECT_FALSE(CryptExportKey(session, 0, PUBLICKEYBLOB, 0, nullptr, &size));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  CryptDestroyKey(session);
}

class BadSimpleBlobTest : public SessionTest, public ::testing::WithParamInterface<BadBlob> {};

TEST_P(BadSimpleBlobTest, IsRefused) {
  HCRYPTKEY session = 0;
  ASSERT_TRUE(CryptGenKey(prov_, CALG_RC4, 0x00800001, &session));
  std::vector<std::uint8_t> blob = Export(session, recipientPub_, SIMPLEBLOB);
  CryptDestroyKey(session);
  GetParam().damage(blob);
  std::unique_ptr<BYTE[]> exact(new BYTE[blob.size()]);
  std::memcpy(exact.get(), blob.data(), blob.size());
  WithRecipientKey([&](HCRYPTPROV prov, HCRYPTKEY user) {
    HCRYPTKEY imported = 0;
    EXPECT_FALSE(CryptImportKey(prov, exact.get(), static_cast<DWORD>(blob.size()), user, 0, &imported));
    EXPECT_EQ(GetLastError(), GetParam().error);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadSimpleBlobTest,
    ::testing::Values(
        BadBlob{"Short", [](auto& b) { b.resize(10); }, NTE_BAD_LEN},
        BadBlob{"OneByteShort", [](auto& b) { b.pop_back(); }, NTE_BAD_LEN},
        BadBlob{"OneByteLong", [](auto& b) { b.push_back(0); }, NTE_BAD_LEN},
        BadBlob{"NotRc4", [](auto& b) { b[4] = 0x02; }, NTE_BAD_ALGID},
        BadBlob{"NotWrappedWithRsa", [](auto& b) { b[9] = 0x24; }, NTE_BAD_ALGID},
        BadBlob{"CorruptKey", [](auto& b) { b[12 + 100] ^= 0x55; }, NTE_BAD_DATA}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(SessionTest, SimpleBlobForAnotherKeyIsRefused) {
  TestCert other = MakeCert(Spec("/CN=Other", {}, 1024));
  CertSpec freshSpec = Spec("/CN=Fresh");
  freshSpec.key = MakeKey(1024, true);
  TestCert fresh = MakeCert(freshSpec);
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, fresh.der.data(),
                                                    static_cast<DWORD>(fresh.der.size()));
  HCRYPTKEY freshPub = 0;
  ASSERT_TRUE(CryptImportPublicKeyInfo(prov_, X509_ASN_ENCODING, &ctx->pCertInfo->SubjectPublicKeyInfo, &freshPub));
  HCRYPTKEY session = 0;
  ASSERT_TRUE(CryptGenKey(prov_, CALG_RC4, 0x00800001, &session));
  std::vector<std::uint8_t> blob = Export(session, freshPub, SIMPLEBLOB);
  WithRecipientKey([&](HCRYPTPROV prov, HCRYPTKEY user) {
    HCRYPTKEY imported = 0;
    EXPECT_FALSE(CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), user, 0, &imported));
    EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
    // A public key cannot unwrap anything.
    EXPECT_FALSE(CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), recipientPub_, 0, &imported));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  });
  CryptDestroyKey(session);
  CryptDestroyKey(freshPub);
  CertFreeCertificateContext(ctx);
}

// PrivateBlob: the 1024-bit test key as a PRIVATEKEYBLOB for CALG_RSA_SIGN.
std::vector<std::uint8_t> PrivateBlob() {
  UniquePtr<EVP_PKEY> key = LoadKey(MakeKey(1024));
  std::vector<std::uint8_t> blob = {PRIVATEKEYBLOB, 2, 0, 0};
  PutLe32(blob, CALG_RSA_SIGN);
  PutLe32(blob, 0x32415352);
  PutLe32(blob, 1024);
  PutLe32(blob, 65537);
  for (auto [name, len] : std::vector<std::pair<const char*, std::size_t>>{
           {OSSL_PKEY_PARAM_RSA_N, 128}, {OSSL_PKEY_PARAM_RSA_FACTOR1, 64},
           {OSSL_PKEY_PARAM_RSA_FACTOR2, 64}, {OSSL_PKEY_PARAM_RSA_EXPONENT1, 64},
           {OSSL_PKEY_PARAM_RSA_EXPONENT2, 64}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, 64},
           {OSSL_PKEY_PARAM_RSA_D, 128}}) {
    auto part = Bn(key.get(), name, len);
    blob.insert(blob.end(), part.begin(), part.end());
  }
  return blob;
}

TEST_F(SessionTest, PrivateKeyBlobGoesIntoTheContainer) {
  std::vector<std::uint8_t> blob = PrivateBlob();
  HCRYPTPROV box = 0;
  ASSERT_TRUE(CryptAcquireContextA(&box, "blob-box", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  HCRYPTKEY imported = 0;
  ASSERT_TRUE(CryptImportKey(box, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &imported));
  CryptDestroyKey(imported);
  // A damaged blob is refused and leaves the slot as it was.
  std::vector<std::uint8_t> damaged = blob;
  damaged[8 + 12 + 128 + 5] ^= 1;
  EXPECT_FALSE(CryptImportKey(box, damaged.data(), static_cast<DWORD>(damaged.size()), 0, 0, &imported));
  EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
  HCRYPTKEY user = 0;
  ASSERT_TRUE(CryptGetUserKey(box, AT_SIGNATURE, &user));
  std::vector<std::uint8_t> pub = Export(user, 0, PUBLICKEYBLOB);
  EXPECT_EQ(BytesToHex(pub.data(), 8), "0602000000240000");
  EXPECT_EQ(std::vector<std::uint8_t>(pub.begin() + 20, pub.end()),
            std::vector<std::uint8_t>(blob.begin() + 20, blob.begin() + 20 + 128));
  CryptDestroyKey(user);
  CryptReleaseContext(box, 0);
}

class BadPrivateBlobTest : public SessionTest, public ::testing::WithParamInterface<BadBlob> {};

TEST_P(BadPrivateBlobTest, IsRefusedWithinItsLengthAndStoresNothing) {
  std::vector<std::uint8_t> blob = PrivateBlob();
  GetParam().damage(blob);
  std::unique_ptr<BYTE[]> exact(new BYTE[blob.size()]);
  std::memcpy(exact.get(), blob.data(), blob.size());
  HCRYPTPROV box = 0;
  ASSERT_TRUE(CryptAcquireContextA(&box, "bad-blob-box", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  HCRYPTKEY key = 0;
  EXPECT_FALSE(CryptImportKey(box, exact.get(), static_cast<DWORD>(blob.size()), 0, 0, &key));
  EXPECT_EQ(GetLastError(), GetParam().error);
  EXPECT_EQ(key, 0u);
  EXPECT_FALSE(CryptGetUserKey(box, AT_SIGNATURE, &key));
  EXPECT_EQ(GetLastError(), NTE_NO_KEY);
  CryptReleaseContext(box, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadPrivateBlobTest,
    ::testing::Values(
        BadBlob{"HeaderOnly", [](auto& b) { b.resize(8); }, NTE_BAD_LEN},
        BadBlob{"NoNumbers", [](auto& b) { b.resize(20); }, NTE_BAD_LEN},
        BadBlob{"CutPrivateExponent", [](auto& b) { b.pop_back(); }, NTE_BAD_LEN},
        BadBlob{"BitLengthPastData", [](auto& b) { b[13] = 0x08; }, NTE_BAD_LEN},
        BadBlob{"OddHalfLength", [](auto& b) { b[12] = 0x08; }, NTE_BAD_DATA},
        BadBlob{"PublicMagic", [](auto& b) { b[11] = '1'; }, NTE_BAD_DATA},
        BadBlob{"NotAnRsaAlgorithm", [](auto& b) { b[5] = 0x66; }, NTE_BAD_ALGID}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace

namespace {

TEST(GeneratedKeyTest, NewKeyPairSignsAndExportsItsPublicHalf) {
  TempDataHome home;
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "generated", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  HCRYPTKEY pair = 0;
  ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 1024u << 16, &pair));
  DWORD len = 0;
  ASSERT_TRUE(CryptExportKey(pair, 0, PUBLICKEYBLOB, 0, nullptr, &len));
  std::vector<BYTE> blob(len);
  ASSERT_TRUE(CryptExportKey(pair, 0, PUBLICKEYBLOB, 0, blob.data(), &len));
  HCRYPTKEY pub = 0;
  ASSERT_TRUE(CryptImportKey(prov, blob.data(), len, 0, 0, &pub));
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("kept"), 4, 0));
  DWORD sigLen = 0;
  ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, nullptr, &sigLen));
  std::vector<BYTE> sig(sigLen);
  ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &sigLen));
  EXPECT_TRUE(CryptVerifySignatureA(hash, sig.data(), sigLen, pub, nullptr, 0));
  CryptDestroyHash(hash);
  CryptDestroyKey(pub);
  CryptDestroyKey(pair);
  CryptReleaseContext(prov, 0);
  // The pair was stored: a later context of the container finds it.
  ASSERT_TRUE(CryptAcquireContextA(&prov, "generated", nullptr, PROV_RSA_FULL, 0));
  ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &pair));
  CryptDestroyKey(pair);
  CryptReleaseContext(prov, 0);
}

}  // namespace
