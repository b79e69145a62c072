// The user's database shared with other processes: a reader that starts while another process
// writes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/crypt/crypt.h"
#include "platform/owners.h"
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

}  // namespace
