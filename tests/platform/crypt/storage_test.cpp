// The user's database shared with other processes: a reader that starts while another process
// writes, and a key removed while another process reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "hosts/velmor/admin.h"
#include "platform/crypt/crypt.h"
#include "platform/base/sqlite.h"
#include "tests/support/pki.h"

namespace {

using namespace velmor::testing;
using velmor::platform::UniquePtr;

std::filesystem::path DatabaseOf(const TempDataHome& home) {
  return home.path() / "velmor" / "store.db";
}

// Peer: another connection to the database, standing in for another process.
class Peer {
 public:
  explicit Peer(const std::filesystem::path& db) {
    sqlite3* raw = nullptr;
    EXPECT_EQ(sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    db_.reset(raw);
  }
  int Exec(const char* sql) { return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr); }
  // Blob: the first column of the first row of `sql`.
  std::vector<std::uint8_t> Blob(const char* sql) {
    sqlite3_stmt* raw = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr), SQLITE_OK);
    UniquePtr<sqlite3_stmt> statement(raw);
    std::vector<std::uint8_t> out;
    if (sqlite3_step(raw) == SQLITE_ROW) {
      const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(raw, 0));
      out.assign(p, p + sqlite3_column_bytes(raw, 0));
    }
    return out;
  }

 private:
  UniquePtr<sqlite3> db_;
};

// FreshOpen: points the data home at another path to the same database for its lifetime, so
// that this process opens the database afresh, as a new process would.
class FreshOpen {
 public:
  explicit FreshOpen(const TempDataHome& home) : alias_(home.path() / "alias") {
    std::filesystem::create_directories(alias_);
    std::filesystem::create_directory_symlink(home.path() / "velmor", alias_ / "velmor");
    previous_ = std::getenv("XDG_DATA_HOME");
    setenv("XDG_DATA_HOME", alias_.c_str(), 1);
  }
  ~FreshOpen() { setenv("XDG_DATA_HOME", previous_.c_str(), 1); }
  FreshOpen(const FreshOpen&) = delete;
  FreshOpen& operator=(const FreshOpen&) = delete;

 private:
  std::filesystem::path alias_;
  std::string previous_;
};

std::vector<std::string> SerialsOfMy() {
  std::vector<std::string> out;
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  EXPECT_NE(store, nullptr) << std::hex << GetLastError() << " " << velmor::crypt::LastFailedCall();
  PCCERT_CONTEXT ctx = nullptr;
  while (store != nullptr && (ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
    const CRYPT_INTEGER_BLOB& s = ctx->pCertInfo->SerialNumber;
    std::string hex;
    for (DWORD i = s.cbData; i > 0; --i) hex += BytesToHex(&s.pbData[i - 1], 1);
    out.push_back(hex);
  }
  CertCloseStore(store, 0);
  return out;
}

// The first access of a process reads; it never waits for another process's write lock.
TEST(SharedDatabaseTest, FreshProcessReadsWhileAnotherHoldsTheWriteLock) {
  TempDataHome home;
  TestCert cert = MakeCert(Spec("/CN=Reader/OU=QVA"));
  AddToStore("MY", cert);
  Peer writer(DatabaseOf(home));
  ASSERT_EQ(writer.Exec("BEGIN IMMEDIATE; UPDATE meta SET v = v + 1 WHERE k = 'generation'"),
            SQLITE_OK);
  {
    FreshOpen fresh(home);
    EXPECT_EQ(SerialsOfMy(), std::vector<std::string>{cert.serialHex});
  }
  EXPECT_EQ(writer.Exec("COMMIT"), SQLITE_OK);  // the lock was held all along
}

// A removal is finished only when the key's bytes are gone from the database file and its log.
// When a reader keeps the log from being emptied at the time, the next write or open finishes it.
struct RemovalCase {
  const char* name;
  bool byOpen;  // finished by an open of the database (else by a write)
};

class RemovalUnderReaderTest : public ::testing::TestWithParam<RemovalCase> {};

TEST_P(RemovalUnderReaderTest, LeavesNoKeyOnDiskOnceTheReaderLetsGo) {
  TempDataHome home;
  CertSpec spec = Spec("/CN=Removed/OU=QVA");
  spec.key = MakeKey(1024, true);
  TestCert cert = MakeCert(spec);
  // The key is sealed at rest: what must go is its sealed form.
  std::vector<std::uint8_t> sealed;
  auto onDisk = [&] {
    int found = 0;
    for (const char* file : {"store.db", "store.db-wal"}) {
      const auto path = home.path() / "velmor" / file;
      if (!std::filesystem::exists(path)) continue;
      std::vector<std::uint8_t> bytes = ReadFile(path);
      found += std::search(bytes.begin(), bytes.end(), sealed.begin(), sealed.end()) !=
               bytes.end();
    }
    return found;
  };
  ImportWithKey("MY", cert, AT_KEYEXCHANGE, "removed");
  Peer reader(DatabaseOf(home));
  sealed = reader.Blob("SELECT der FROM keys");
  ASSERT_GT(sealed.size(), 64u);
  ASSERT_EQ(reader.Exec("BEGIN; SELECT count(*) FROM keys"), SQLITE_OK);
  ASSERT_TRUE(velmor::admin::RemoveCertificates("MY", cert.serialHex, nullptr));
  ASSERT_GT(onDisk(), 0);  // the reader kept the removal from finishing
  ASSERT_EQ(reader.Exec("COMMIT"), SQLITE_OK);
  if (GetParam().byOpen) {
    FreshOpen fresh(home);
    EXPECT_TRUE(SerialsOfMy().empty());
  } else {
    AddToStore("CA", MakeCert(Spec("/CN=Next Write")));
  }
  EXPECT_EQ(onDisk(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, RemovalUnderReaderTest,
                         ::testing::Values(RemovalCase{"NextWrite", false},
                                           RemovalCase{"NextOpen", true}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace

namespace {

// A transaction's writes: seen inside it, by nobody else before Commit, and gone when it ends
// without one. `true`: the in-memory backend.
class StoreTransactionTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { velmor::crypt::UseInMemoryStorage(GetParam()); }
  void TearDown() override { velmor::crypt::ResetRuntime(); }

  static bool ContainerExists(const char* name) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, name, nullptr, PROV_RSA_FULL, 0)) return false;
    CryptReleaseContext(prov, 0);
    return true;
  }
  static bool MakeContainer(const char* name) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, name, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET)) return false;
    CryptReleaseContext(prov, 0);
    return true;
  }

  TempDataHome home_;
};

TEST_P(StoreTransactionTest, CommitsWholeOrUndoesWhole) {
  const TestCert cert = MakeCert(Spec("/CN=Staged"));
  {
    velmor::crypt::StoreTransaction undone;
    ASSERT_TRUE(undone.Begin());
    velmor::crypt::StoreTransaction second;
    EXPECT_FALSE(second.Begin());  // one at a time in a process
    EXPECT_EQ(GetLastError(), 170u);
    ASSERT_TRUE(MakeContainer("staged"));
    AddToStore("CA", cert);
    EXPECT_TRUE(ContainerExists("staged"));
    std::vector<velmor::admin::CertificateEntry> inside;
    ASSERT_TRUE(velmor::admin::ListCertificates("CA", inside));
    EXPECT_EQ(inside.size(), 1u);
  }
  EXPECT_FALSE(ContainerExists("staged"));
  std::vector<velmor::admin::CertificateEntry> ca;
  ASSERT_TRUE(velmor::admin::ListCertificates("CA", ca));
  EXPECT_TRUE(ca.empty());
  velmor::crypt::StoreTransaction kept;
  ASSERT_TRUE(kept.Begin());
  ASSERT_TRUE(MakeContainer("staged"));
  AddToStore("CA", cert);
  ASSERT_TRUE(kept.Commit());
  velmor::crypt::DropCaches();
  EXPECT_TRUE(ContainerExists("staged"));
  ASSERT_TRUE(velmor::admin::ListCertificates("CA", ca));
  EXPECT_EQ(ca.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreTransactionTest, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Memory" : "Sqlite"; });

}  // namespace
