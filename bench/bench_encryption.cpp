// What sealing and opening cost through the control, beside the same cryptography done bare:
// - EncryptFile and DecryptFile on 16 MiB and 256 MiB files beside `openssl enc -rc4` writing
//   the same bytes to a file in the same run, and a bare RC4 pass in memory (the ceiling); the
//   peak resident memory after each run shows whether it grows with the file;
// - Encrypt and Decrypt of a 600,000-byte text beside one bare RSA wrap (or unwrap) + one RC4
//   pass + Base64 over the same bytes.
// After the runs it prints each operation's time over its baseline's.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "certs/properties.h"
#include "codec/codec.h"
#include "encryption/encryption.h"
#include "platform/crypt/owners.h"
#include "tests/support/pki.h"

namespace {

using velmor::testing::TempDataHome;
using velmor::testing::TestCert;

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kTextSize = 600000;
constexpr std::size_t kSessionKey = 16;
constexpr std::size_t kDiscard = 512;


// World: a private data directory with the recipient's key in "MY" and its certificate in
// "CA", named by EncryptCN and DecryptCN; RC4 from a library context with the legacy provider.
struct World {
  TempDataHome home;
  TestCert recipient;
  velmor::platform::UniquePtr<EVP_PKEY> key;
  velmor::platform::UniquePtr<OSSL_LIB_CTX> libctx{OSSL_LIB_CTX_new()};
  velmor::platform::UniquePtr<OSSL_PROVIDER> legacy{
      OSSL_PROVIDER_load(libctx.get(), "legacy")};
  velmor::platform::UniquePtr<OSSL_PROVIDER> base{
      OSSL_PROVIDER_load(libctx.get(), "default")};
  velmor::platform::UniquePtr<EVP_CIPHER> rc4{EVP_CIPHER_fetch(libctx.get(), "RC4", nullptr)};
  velmor::CtrlState state;

  World() {
    velmor::ClearModuleBuffers();
    velmor::testing::CertSpec spec = velmor::testing::Spec("/CN=Bank Server/OU=QVA", {}, 2048);
    recipient = velmor::testing::MakeCert(spec);
    velmor::testing::ImportWithKey("MY", recipient);
    velmor::testing::AddToStore("CA", recipient);
    velmor::SetEncryptCN(state, recipient.serialHex.c_str());
    velmor::SetDecryptCN(state, recipient.serialHex.c_str());
    velmor::platform::UniquePtr<BIO> pem(BIO_new_mem_buf(
        recipient.key.privatePem.data(), static_cast<int>(recipient.key.privatePem.size())));
    key.reset(PEM_read_bio_PrivateKey(pem.get(), nullptr, nullptr, nullptr));
  }
};

World& TheWorld() {
  static World world;
  return world;
}

std::filesystem::path InputFile(std::size_t mib) {
  const auto path = TheWorld().home.path() / ("input-" + std::to_string(mib) + ".bin");
  if (!std::filesystem::exists(path)) {
    std::vector<char> chunk(kMiB);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + 7);
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < mib; ++i) out.write(chunk.data(), static_cast<long>(chunk.size()));
  }
  return path;
}

// PeakResidentKiB: the process's peak resident set so far (VmHWM).
double PeakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6);
  }
  return 0;
}

void FileRun(benchmark::State& run, bool decrypting) {
  const auto mib = static_cast<std::size_t>(run.range(0));
  const auto input = InputFile(mib);
  World& world = TheWorld();
  const std::string sealed = input.string() + ".enc";
  if (decrypting && velmor::EncryptFile(world.state, input.string().c_str()) != "A:0000") {
    run.SkipWithError("EncryptFile failed");
    return;
  }
  for (auto _ : run) {
    const std::string result = decrypting ? velmor::DecryptFile(world.state, sealed.c_str())
                                          : velmor::EncryptFile(world.state, input.string().c_str());
    if (result != "A:0000") run.SkipWithError(result.c_str());
  }
  run.SetBytesProcessed(run.iterations() * static_cast<std::int64_t>(mib * kMiB));
  run.counters["peak_rss_KiB"] = PeakResidentKiB();
}

void BM_EncryptFile(benchmark::State& run) { FileRun(run, false); }
void BM_DecryptFile(benchmark::State& run) { FileRun(run, true); }

// The `openssl` tool encrypting the same file with RC4 into another file.
void BM_OpensslEncRc4ToFile(benchmark::State& run) {
  const auto mib = static_cast<std::size_t>(run.range(0));
  const auto input = InputFile(mib);
  const std::string command =
      "openssl enc -rc4 -provider legacy -provider default -nosalt -K "
      "000102030405060708090a0b0c0d0e0f -in '" + input.string() + "' -out '" + input.string() +
      ".rc4'";
  for (auto _ : run) {
    if (std::system(command.c_str()) != 0) run.SkipWithError("openssl enc failed");
  }
  run.SetBytesProcessed(run.iterations() * static_cast<std::int64_t>(mib * kMiB));
}

// Rc4Pass: one RC4 pass over `data` in place after the discard, as bare as OpenSSL allows.
bool Rc4Pass(const unsigned char* key, std::vector<unsigned char>& data) {
  velmor::platform::UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  int n = 0;
  unsigned char scratch[kDiscard] = {};
  return ctx && EVP_EncryptInit_ex2(ctx.get(), TheWorld().rc4.get(), key, nullptr, nullptr) == 1 &&
         EVP_EncryptUpdate(ctx.get(), scratch, &n, scratch, sizeof scratch) == 1 &&
         EVP_EncryptUpdate(ctx.get(), data.data(), &n, data.data(), static_cast<int>(data.size())) == 1;
}

void BM_BareRc4InMemory(benchmark::State& run) {
  const auto mib = static_cast<std::size_t>(run.range(0));
  std::vector<unsigned char> data(mib * kMiB, 0x5a);
  const unsigned char key[kSessionKey] = {1, 2, 3};
  for (auto _ : run) {
    if (!Rc4Pass(key, data)) run.SkipWithError("RC4 failed");
    benchmark::DoNotOptimize(data.data());
  }
  run.SetBytesProcessed(run.iterations() * static_cast<std::int64_t>(mib * kMiB));
}

std::string Text() { return std::string(kTextSize, 'T'); }

void BM_Encrypt600k(benchmark::State& run) {
  World& world = TheWorld();
  const std::string text = Text();
  for (auto _ : run) {
    std::string result = velmor::Encrypt(world.state, text.c_str());
    if (result.rfind("E:", 0) == 0) run.SkipWithError(result.c_str());
    benchmark::DoNotOptimize(result);
  }
}

void BM_Decrypt600k(benchmark::State& run) {
  World& world = TheWorld();
  const std::string sealed = velmor::Encrypt(world.state, Text().c_str());
  for (auto _ : run) {
    std::string result = velmor::Decrypt(world.state, sealed.c_str());
    if (result.rfind("A:", 0) != 0) run.SkipWithError(result.c_str());
    benchmark::DoNotOptimize(result);
  }
}

// BM_BareSeal600k: a random session key wrapped with RSA-2048 PKCS #1 v1.5, one RC4 pass over
// the text and Base64 of the result.
void BM_BareSeal600k(benchmark::State& run) {
  World& world = TheWorld();
  std::vector<unsigned char> data(kTextSize, 'T');
  std::vector<unsigned char> wrapped(512);
  std::vector<unsigned char> base64(4 * (kTextSize / 3 + 1) + 1);
  for (auto _ : run) {
    unsigned char key[kSessionKey];
    RAND_bytes(key, sizeof key);
    velmor::platform::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(world.key.get(), nullptr));
    std::size_t length = wrapped.size();
    const bool ok = ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                    EVP_PKEY_encrypt(ctx.get(), wrapped.data(), &length, key, sizeof key) == 1 &&
                    Rc4Pass(key, data);
    EVP_EncodeBlock(base64.data(), data.data(), static_cast<int>(data.size()));
    if (!ok) run.SkipWithError("bare sealing failed");
    benchmark::DoNotOptimize(base64.data());
  }
}

// BM_BareOpen600k: the RSA-2048 unwrap of a session key, Base64 decoding of the text's
// envelope-sized Base64 and one RC4 pass.
void BM_BareOpen600k(benchmark::State& run) {
  World& world = TheWorld();
  std::vector<unsigned char> data(kTextSize, 'T');
  std::vector<unsigned char> base64(4 * (kTextSize / 3 + 1) + 1);
  const int encoded = EVP_EncodeBlock(base64.data(), data.data(), static_cast<int>(data.size()));
  unsigned char key[kSessionKey] = {9, 8, 7};
  std::vector<unsigned char> wrapped(512);
  std::size_t wrappedLength = wrapped.size();
  {
    velmor::platform::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(world.key.get(), nullptr));
    EVP_PKEY_encrypt_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    EVP_PKEY_encrypt(ctx.get(), wrapped.data(), &wrappedLength, key, sizeof key);
  }
  std::vector<unsigned char> decoded(data.size() + 3);
  for (auto _ : run) {
    velmor::platform::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(world.key.get(), nullptr));
    unsigned char session[512];
    std::size_t length = sizeof session;
    const bool ok = ctx && EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                    EVP_PKEY_decrypt(ctx.get(), session, &length, wrapped.data(), wrappedLength) == 1 &&
                    EVP_DecodeBlock(decoded.data(), base64.data(), encoded) > 0 &&
                    Rc4Pass(session, data);
    if (!ok) run.SkipWithError("bare opening failed");
    benchmark::DoNotOptimize(data.data());
  }
}

BENCHMARK(BM_EncryptFile)->Arg(16)->Arg(256)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_DecryptFile)->Arg(16)->Arg(256)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OpensslEncRc4ToFile)->Arg(256)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BareRc4InMemory)->Arg(256)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Encrypt600k)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_BareSeal600k)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_Decrypt600k)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_BareOpen600k)->Unit(benchmark::kMicrosecond)->Repetitions(5);


}  // namespace

int main(int argc, char** argv) {
  return velmor::bench::RunWithRatios(argc, argv, {
      {"EncryptFile / openssl enc -rc4 to a file (256 MiB)",
       "BM_EncryptFile/256", "BM_OpensslEncRc4ToFile/256"},
      {"DecryptFile / openssl enc -rc4 to a file (256 MiB)",
       "BM_DecryptFile/256", "BM_OpensslEncRc4ToFile/256"},
      {"Encrypt / bare wrap + RC4 + Base64 (600,000 bytes)", "BM_Encrypt600k", "BM_BareSeal600k"},
      {"Decrypt / bare unwrap + Base64 + RC4 (600,000 bytes)", "BM_Decrypt600k", "BM_BareOpen600k"},
  });
}
