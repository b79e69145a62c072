// The user's store shared by several velmor processes at once: calls that only read answer while
// another process holds the write lock, and two processes making a new store agree on it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/pki.h"

namespace {

namespace pki = velmor::testing;
namespace fs = std::filesystem;

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// MakePkcs12: a signer's certificate and key as a PKCS #12 file under password "x".
pki::TestCert MakePkcs12(const fs::path& base, const std::string& name) {
  pki::TestCert cert = pki::MakeCert(pki::Spec("/CN=" + name + "/OU=QVA/O=Tarnvik Bank"));
  pki::WriteFile(base.string() + ".pem", cert.pem());
  pki::WriteFile(base.string() + ".key", cert.key.privatePem);
  const pki::CommandResult r =
      pki::Run("openssl pkcs12 -export -in " + Quoted(base.string() + ".pem") + " -inkey " +
               Quoted(base.string() + ".key") + " -out " + Quoted(base.string() + ".p12") +
               " -passout pass:x");
  EXPECT_EQ(r.status, 0) << r.output;
  return cert;
}

std::string Import(const fs::path& p12) {
  return std::string("'") + VELMOR_BINARY + "' certs import --store MY --passin pass:x " + Quoted(p12);
}

// Writer: another process (the sqlite3 tool) inside a write transaction on the database, until
// Release.
class Writer {
 public:
  explicit Writer(const fs::path& db) : done_(db.parent_path() / "writer.out") {
    pipe_ = ::popen(("sqlite3 " + Quoted(db) + " > " + Quoted(done_) + " 2>&1").c_str(), "w");
    EXPECT_NE(pipe_, nullptr);
    std::fputs("BEGIN IMMEDIATE;\nUPDATE meta SET v = v + 1 WHERE k = 'generation';\n.print held\n",
               pipe_);
    std::fflush(pipe_);
    for (int i = 0; i < 1000 && !Held(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(Held()) << Output();
  }
  ~Writer() { Release(); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Release: commits; the output says whether the lock was held all along.
  std::string Release() {
    if (pipe_ == nullptr) return Output();
    std::fputs("COMMIT;\n.print committed\n", pipe_);
    ::pclose(pipe_);
    pipe_ = nullptr;
    return Output();
  }

 private:
  bool Held() const { return Output().find("held") != std::string::npos; }
  std::string Output() const {
    if (!fs::exists(done_)) return {};
    const std::vector<std::uint8_t> bytes = pki::ReadFile(done_);
    return std::string(bytes.begin(), bytes.end());
  }

  fs::path done_;
  std::FILE* pipe_ = nullptr;
};

// A fresh process's first certificate list, provider name and signature after an import need
// no write: they answer, and answer right, while another process holds the write lock.
TEST(SharedStoreTest, ReadersAnswerWhileAnotherProcessWrites) {
  pki::TempDataHome home;
  pki::RegisterModule(VELMOR_BINARY);
  const pki::TestCert alice = MakePkcs12(home.path() / "alice", "Alice");
  const pki::CommandResult imported = pki::Run(Import(home.path() / "alice.p12"));
  ASSERT_EQ(imported.status, 0) << imported.output;

  const std::string cnName = "CN=Alice";
  char cn[160];
  std::snprintf(cn, sizeof cn, "%02zu%s%02zu%s", cnName.size(), cnName.c_str(),
                alice.serialHex.size(), alice.serialHex.c_str());
  pki::WriteFile(home.path() / "requests",
                 std::string("{\"op\":\"call\",\"name\":\"getCertList\"}\n"
                             "{\"op\":\"put\",\"name\":\"CN\",\"value\":\"") +
                     cn +
                     "\"}\n{\"op\":\"call\",\"name\":\"getProviderName\"}\n"
                     "{\"op\":\"put\",\"name\":\"SignData\",\"value\":\"abc\"}\n"
                     "{\"op\":\"get\",\"name\":\"SignData\"}\n");
  Writer writer(home.path() / "velmor" / "store.db");
  const pki::CommandResult call = pki::Run("timeout 60 '" + std::string(VELMOR_BINARY) + "' call < " +
                                           Quoted(home.path() / "requests"));
  const std::string committed = writer.Release();
  EXPECT_NE(committed.find("committed"), std::string::npos) << committed;  // held all along
  ASSERT_EQ(call.status, 0) << call.output;
  EXPECT_NE(call.output.find("{\"result\":\"CN=Alice," + alice.serialHex + ";\"}"), std::string::npos)
      << call.output;
  EXPECT_NE(call.output.find("{\"result\":\"Microsoft Enhanced Cryptographic Provider v1.0\"}"),
            std::string::npos)
      << call.output;
  // The signature is Alice's over the text, as the openssl tool checks it.
  const std::string head = "{\"result\":\"A:00000003abc00000256";
  const std::size_t at = call.output.find(head);
  ASSERT_NE(at, std::string::npos) << call.output;
  pki::WriteFile(home.path() / "sig", pki::HexToBytes(call.output.substr(at + head.size(), 256)));
  pki::WriteFile(home.path() / "alice.pub", pki::Run("openssl x509 -pubkey -noout -in " +
                                                     Quoted(home.path() / "alice.pem")).output);
  const pki::CommandResult verified =
      pki::Run("printf abc | openssl dgst -md5 -verify " + Quoted(home.path() / "alice.pub") +
               " -signature " + Quoted(home.path() / "sig"));
  EXPECT_EQ(verified.status, 0) << verified.output;
}

// Two first imports into a store that does not exist yet: both succeed, whoever makes the
// database, its schema and its master key first.
TEST(SharedStoreTest, TwoFirstImportsIntoANewStoreBothSucceed) {
  pki::TempDataHome keys;
  MakePkcs12(keys.path() / "a", "Anna");
  MakePkcs12(keys.path() / "b", "Bert");
  constexpr int kRounds = 40;
  int failed = 0;
  for (int round = 0; round < kRounds; ++round) {
    const fs::path home = keys.path() / ("round" + std::to_string(round));
    const std::string env = "XDG_DATA_HOME=" + Quoted(home) + " ";
    const pki::CommandResult both =
        pki::Run("(" + env + Import(keys.path() / "a.p12") + " > " + Quoted(keys.path() / "a.out") +
                 " 2>&1 & a=$!; " + env + Import(keys.path() / "b.p12") + " > " +
                 Quoted(keys.path() / "b.out") + " 2>&1 & b=$!; wait $a && wait $b) && " + env + "'" +
                 VELMOR_BINARY + "' certs list --store MY");
    if (both.status != 0) {
      ++failed;
      const std::vector<std::uint8_t> a = pki::ReadFile(keys.path() / "a.out");
      const std::vector<std::uint8_t> b = pki::ReadFile(keys.path() / "b.out");
      ADD_FAILURE() << "round " << round << ": " << std::string(a.begin(), a.end())
                    << std::string(b.begin(), b.end()) << both.output;
    } else {
      EXPECT_NE(both.output.find("Anna"), std::string::npos) << both.output;
      EXPECT_NE(both.output.find("Bert"), std::string::npos) << both.output;
    }
  }
  EXPECT_EQ(failed, 0) << "of " << kRounds << " rounds";
}

}  // namespace
