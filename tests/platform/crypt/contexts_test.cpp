// Provider contexts and key containers.
#include <gtest/gtest.h>

#include <cstring>
#include <string_view>
#include <tuple>
#include <sys/stat.h>

#include "platform/crypt/crypt.h"
#include "tests/support/pki.h"

namespace {

using namespace velmor::testing;

class ContextsTest : public ::testing::Test {
 protected:
  void TearDown() override { velmor::crypt::ResetRuntime(); }
  TempDataHome home_;
};

TEST_F(ContextsTest, DefaultContainerIsMissingUntilCreated) {
  HCRYPTPROV prov = 0;
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  // The null provider name means the enhanced provider, and the container now exists.
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, 0));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), NTE_EXISTS);
  // The default container is the login user's: naming it explicitly finds the same one.
  std::string user = velmor::crypt::DefaultContainer();
  ASSERT_TRUE(CryptAcquireContextA(&prov, user.c_str(), nullptr, PROV_RSA_FULL, 0));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

struct BadAcquire {
  const char* name;
  const char* provider;
  DWORD type;
  DWORD flags;
  DWORD error;
};

class BadAcquireTest : public ContextsTest, public ::testing::WithParamInterface<BadAcquire> {};

TEST_P(BadAcquireTest, FailsWithTheWindowsError) {
  const BadAcquire& c = GetParam();
  HCRYPTPROV prov = 123;
  EXPECT_FALSE(CryptAcquireContextA(&prov, "box", c.provider, c.type, c.flags));
  EXPECT_EQ(GetLastError(), c.error);
  EXPECT_EQ(prov, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadAcquireTest,
    ::testing::Values(
        BadAcquire{"UnknownProvider", "Some Other Provider", PROV_RSA_FULL, 0, NTE_KEYSET_NOT_DEF},
        BadAcquire{"UnknownType", MS_ENHANCED_PROV_A, 24, 0, NTE_PROV_TYPE_NOT_DEF},
        BadAcquire{"UnknownFlag", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0x20, NTE_BAD_FLAGS},
        BadAcquire{"MissingContainer", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0, NTE_BAD_KEYSET}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ContextsTest, ReleasedOrForgedHandlesAreRefused) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "box", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  ASSERT_TRUE(CryptReleaseContext(prov, 0));
  EXPECT_FALSE(CryptReleaseContext(prov, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_UID);
  HCRYPTHASH hash = 0;
  EXPECT_FALSE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
  EXPECT_EQ(GetLastError(), NTE_BAD_UID);
  EXPECT_FALSE(CryptHashData(0xdead, reinterpret_cast<const BYTE*>("x"), 1, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH);
  EXPECT_FALSE(CryptDestroyKey(0xbeef));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
}

// Every kind of handle, made and destroyed through the API; `use` is true when a call accepts it.
struct HandleKind {
  const char* name;
  DWORD error;  // the last error a refused handle of this kind gives
  ULONG_PTR (*make)(HCRYPTPROV verifyContext);
  void (*destroy)(ULONG_PTR);
  bool (*use)(ULONG_PTR);
};

const HandleKind kHandleKinds[] = {
    {"Provider", NTE_BAD_UID,
     [](HCRYPTPROV) -> ULONG_PTR {
       HCRYPTPROV p = 0;
       CryptAcquireContextA(&p, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
       return p;
     },
     [](ULONG_PTR h) { CryptReleaseContext(h, 0); },
     [](ULONG_PTR h) {
       HCRYPTHASH hash = 0;
       if (!CryptCreateHash(h, CALG_MD5, 0, 0, &hash)) return false;
       CryptDestroyHash(hash);
       return true;
     }},
    {"Hash", NTE_BAD_HASH,
     [](HCRYPTPROV prov) -> ULONG_PTR {
       HCRYPTHASH h = 0;
       CryptCreateHash(prov, CALG_SHA1, 0, 0, &h);
       return h;
     },
     [](ULONG_PTR h) { CryptDestroyHash(h); },
     [](ULONG_PTR h) { return CryptHashData(h, reinterpret_cast<const BYTE*>("x"), 1, 0) != FALSE; }},
    {"Key", NTE_BAD_KEY,
     [](HCRYPTPROV prov) -> ULONG_PTR {
       HCRYPTKEY k = 0;
       CryptGenKey(prov, CALG_RC4, 0, &k);
       return k;
     },
     [](ULONG_PTR h) { CryptDestroyKey(h); },
     [](ULONG_PTR h) {
       DWORD len = 1;
       return CryptEncrypt(h, 0, TRUE, 0, nullptr, &len, 0) != FALSE;
     }},
    {"Store", ERROR_INVALID_HANDLE,
     [](HCRYPTPROV) -> ULONG_PTR {
       return reinterpret_cast<ULONG_PTR>(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
     },
     [](ULONG_PTR h) { CertCloseStore(reinterpret_cast<HCERTSTORE>(h), 0); },
     [](ULONG_PTR h) {
       // An empty store answers "no more certificates"; a refused handle another error.
       return CertEnumCertificatesInStore(reinterpret_cast<HCERTSTORE>(h), nullptr) == nullptr &&
              GetLastError() == CRYPT_E_NOT_FOUND;
     }},
};

void PrintTo(const HandleKind& kind, std::ostream* os) { *os << kind.name; }

enum class Misuse { kStale, kForged, kOtherKind };

class BadHandleTest : public ::testing::TestWithParam<std::tuple<HandleKind, Misuse>> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CryptAcquireContextA(&prov_, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  }
  void TearDown() override { CryptReleaseContext(prov_, 0); }
  HCRYPTPROV prov_ = 0;
};

// A handle is refused with its kind's last error once its object is gone, even while a newer
// object of the same kind (which may sit at the same address) is live; and so is a forged one,
// or one of another kind.
TEST_P(BadHandleTest, IsRefusedWithItsKindsError) {
  const auto& [kind, misuse] = GetParam();
  const ULONG_PTR live = kind.make(prov_);
  ASSERT_NE(live, 0u);
  ASSERT_TRUE(kind.use(live));
  std::vector<ULONG_PTR> bad;
  std::vector<std::pair<const HandleKind*, ULONG_PTR>> others;  // live, destroyed at the end
  switch (misuse) {
    case Misuse::kStale: {
      const ULONG_PTR gone = kind.make(prov_);
      kind.destroy(gone);
      others.emplace_back(&kind, kind.make(prov_));  // often where the destroyed one was
      bad.push_back(gone);
      break;
    }
    case Misuse::kForged:
      bad = {live + 1, live + (ULONG_PTR{1} << 40), live ^ (ULONG_PTR{1} << 60), 0xdead, ~ULONG_PTR{0}};
      break;
    case Misuse::kOtherKind:
      for (const HandleKind& other : kHandleKinds) {
        if (std::string_view(other.name) == kind.name) continue;
        others.emplace_back(&other, other.make(prov_));
        bad.push_back(others.back().second);
      }
      break;
  }
  for (ULONG_PTR handle : bad) {
    SetLastError(0);
    EXPECT_FALSE(kind.use(handle)) << std::hex << handle;
    EXPECT_EQ(GetLastError(), kind.error) << std::hex << handle;
  }
  EXPECT_TRUE(kind.use(live));
  kind.destroy(live);
  for (const auto& [owner, handle] : others) owner->destroy(handle);
}

std::string BadHandleName(const ::testing::TestParamInfo<std::tuple<HandleKind, Misuse>>& p) {
  static const char* const kMisuse[] = {"Stale", "Forged", "OtherKind"};
  return std::string(std::get<0>(p.param).name) + kMisuse[static_cast<int>(std::get<1>(p.param))];
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadHandleTest,
    ::testing::Combine(::testing::ValuesIn(kHandleKinds),
                       ::testing::Values(Misuse::kStale, Misuse::kForged, Misuse::kOtherKind)),
    BadHandleName);

TEST_F(ContextsTest, UserKeysLiveInTheirSlots) {
  TestCert cert = MakeCert({});
  ImportWithKey("MY", cert, AT_SIGNATURE, "slots");
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "slots", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
  HCRYPTKEY key = 0;
  EXPECT_FALSE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
  EXPECT_EQ(GetLastError(), NTE_NO_KEY);
  ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
  EXPECT_TRUE(CryptDestroyKey(key));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

TEST_F(ContextsTest, DatabaseIsOwnerOnly) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "perm", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  CryptReleaseContext(prov, 0);
  struct stat st {};
  ASSERT_EQ(stat((home_.path() / "velmor").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((home_.path() / "velmor" / "store.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Whatever the umask, and whatever modes an earlier folder and file had, keys end up owner-only,
// the write-ahead log included.
TEST_F(ContextsTest, LooseFolderAndFileAreTightened) {
  const auto dir = home_.path() / "velmor";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  WriteFile(dir / "store.db", std::string());
  ASSERT_EQ(chmod((dir / "store.db").c_str(), 0644), 0);
  const mode_t old = umask(0);
  HCRYPTPROV prov = 0;
  const BOOL made = CryptAcquireContextA(&prov, "loose", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET);
  umask(old);
  ASSERT_TRUE(made);
  CryptReleaseContext(prov, 0);
  for (const auto& [path, mode] : {std::pair{dir, 0700u}, std::pair{dir / "store.db", 0600u},
                                   std::pair{dir / "store.db-wal", 0600u}}) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, mode) << path;
  }
}

TEST_F(ContextsTest, SeamFailsNamedCallsAndCounts) {
  velmor::crypt::InjectFailure("CryptAcquireContextA", NTE_BAD_KEYSET, "", 1);
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "seam", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  CryptReleaseContext(prov, 0);
  // Only the default container (null name) is hit, and only once.
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  velmor::crypt::InjectFailure("CryptCreateHash", NTE_NO_MEMORY);
  HCRYPTHASH hash = 0;
  EXPECT_FALSE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
  EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);
  EXPECT_FALSE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
  velmor::crypt::ClearInjectedFailures();
  ASSERT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
  CryptDestroyHash(hash);
  CryptReleaseContext(prov, 0);
}

TEST_F(ContextsTest, AnotherDataHomeIsAnotherUser) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "mine", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  CryptReleaseContext(prov, 0);
  {
    TempDataHome other;
    EXPECT_FALSE(CryptAcquireContextA(&prov, "mine", nullptr, PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
  }
  ASSERT_TRUE(CryptAcquireContextA(&prov, "mine", nullptr, PROV_RSA_FULL, 0));
  CryptReleaseContext(prov, 0);
}

}  // namespace
