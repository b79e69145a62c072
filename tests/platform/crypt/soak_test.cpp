// A long session in one process: every handle closed, released or destroyed gives back what it
// held, so memory and open descriptors stay where they were however many calls are made.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/crypt/crypt.h"
#include "tests/support/pki.h"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime's allocator interface (not every compiler ships its header).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using namespace velmor::testing;

// Memory in use: the process's anonymous memory; under AddressSanitizer, whose quarantine keeps
// freed blocks mapped for a while, the bytes its allocator has handed out and not taken back.
std::size_t MemoryInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("RssAnon:", 0) == 0) return std::stoul(line.substr(8)) * 1024;
  }
  ADD_FAILURE() << "no RssAnon in /proc/self/status";
  return 0;
#endif
}

std::size_t OpenDescriptors() {
  std::size_t n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
  }
  return n;
}

// One round of what a signing call does: twelve platform calls, one of them failing.
void Round() {
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  ASSERT_NE(store, nullptr);
  PCCERT_CONTEXT ctx = CertEnumCertificatesInStore(store, nullptr);
  ASSERT_NE(ctx, nullptr);
  ASSERT_EQ(CertEnumCertificatesInStore(store, ctx), nullptr);
  ASSERT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
  ASSERT_EQ(CertOpenSystemStoreA(0, "Nonsense"), nullptr);
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "soak", nullptr, PROV_RSA_FULL, 0));
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("payment 42"), 10, 0));
  BYTE signature[512];
  DWORD len = 0;
  ASSERT_TRUE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &len));
  ASSERT_TRUE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, signature, &len));
  ASSERT_TRUE(CryptDestroyHash(hash));
  ASSERT_TRUE(CryptReleaseContext(prov, 0));
}

TEST(SoakTest, MixedCallsKeepMemoryAndDescriptorsFlat) {
  constexpr int kWarmUpRounds = 200;   // caches and allocator pools reach their size
  constexpr int kRounds = 3000;        // 36,000 calls
  constexpr std::size_t kSlackBytes = 256 * 1024;
  TempDataHome home;
  ImportWithKey("MY", MakeCert(Spec("/CN=Soak/OU=QVA")), AT_KEYEXCHANGE, "soak");
  for (int i = 0; i < kWarmUpRounds; ++i) ASSERT_NO_FATAL_FAILURE(Round());
  const std::size_t memoryBefore = MemoryInUse();
  const std::size_t descriptorsBefore = OpenDescriptors();
  for (int i = 0; i < kRounds; ++i) ASSERT_NO_FATAL_FAILURE(Round());
  const std::size_t memoryAfter = MemoryInUse();
  const std::size_t descriptorsAfter = OpenDescriptors();
  RecordProperty("memory_before", std::to_string(memoryBefore));
  RecordProperty("memory_after", std::to_string(memoryAfter));
  std::printf("memory in use: %zu bytes before, %zu after %d rounds\n", memoryBefore, memoryAfter,
              kRounds);
  EXPECT_LE(memoryAfter, memoryBefore + kSlackBytes);
  EXPECT_LE(descriptorsAfter, descriptorsBefore);
}

}  // namespace
