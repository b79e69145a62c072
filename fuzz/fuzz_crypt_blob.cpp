// Key blobs from outside: PUBLICKEYBLOB, SIMPLEBLOB and PRIVATEKEYBLOB, with and without an
// unwrapping key. The first byte chooses the unwrapping key; the rest is the blob.
#include <cstddef>
#include <cstdint>

#include "fuzz/prologue.h"
#include "platform/crypt/crypt.h"

namespace {

constexpr std::size_t kMaxInput = 4096;

HCRYPTPROV g_prov = 0;
HCRYPTKEY g_exchange = 0;

int Init() {
  velmor::crypt::UseInMemoryStorage(true);
  CryptAcquireContextA(&g_prov, "fuzz", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET);
  CryptGenKey(g_prov, AT_KEYEXCHANGE, 0x02000000, &g_exchange);
  return 0;
}

int Run(const std::uint8_t* data, std::size_t size) {
  const HCRYPTKEY unwrap = (data[0] & 1) != 0 ? g_exchange : 0;
  HCRYPTKEY key = 0;
  if (CryptImportKey(g_prov, data + 1, static_cast<DWORD>(size - 1), unwrap, 0, &key)) {
    DWORD len = 0;
    CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &len);
    BYTE stream[16] = {};
    DWORD n = sizeof stream;
    CryptEncrypt(key, 0, TRUE, 0, stream, &n, sizeof stream);
    CryptDestroyKey(key);
  }
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 1, .maxInput = kMaxInput, .init = Init, .run = Run};
