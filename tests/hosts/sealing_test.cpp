// Private keys sealed at rest, as users meet them through the velmor command: the master key in
// a real Secret Service (gnome-keyring in a private D-Bus session) or in the file beside the
// store, keys that must not open (a wrong or missing master key, a sealed key moved to another
// row), old stores sealed on first open even when the process is killed meanwhile, no private
// exponent in the database or its log, and export-key read back by the openssl tool.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pki.h"

namespace {

namespace pki = velmor::testing;
namespace fs = std::filesystem;

constexpr const char* kNoKeyset = "E:0090 80090016 -2146893802";

struct Holder {
  pki::TestCert cert;
  std::string p12;  // password "x"
};

class Sealing : public ::testing::Test {
 public:
  Sealing() { pki::RegisterModule(VELMOR_BINARY); }

  fs::path Folder() const { return home_.path() / "velmor"; }
  std::string Db() const { return (Folder() / "store.db").string(); }

  Holder Make(const std::string& name) {
    Holder h{pki::MakeCert(pki::Spec("/CN=" + name + "/OU=QVA/O=Tarnvik Bank")), {}};
    const std::string base = (home_.path() / name).string();
    pki::WriteFile(base + ".pem", h.cert.pem());
    pki::WriteFile(base + ".key", h.cert.key.privatePem);
    h.p12 = base + ".p12";
    const pki::CommandResult r = pki::Run("openssl pkcs12 -export -in '" + base + ".pem' -inkey '" +
                                          base + ".key' -out '" + h.p12 + "' -passout pass:x");
    EXPECT_EQ(r.status, 0) << r.output;
    return h;
  }

  pki::CommandResult Velmor(const std::string& args) {
    return pki::Run("'" + std::string(VELMOR_BINARY) + "' " + args);
  }
  pki::CommandResult Import(const Holder& h) {
    return Velmor("certs import --store MY --passin pass:x '" + h.p12 + "'");
  }

  // Sign: the SignData getter's answer for the holder's certificate, through `velmor call`.
  std::string Sign(const Holder& h, const std::string& prefix = "") {
    const std::string name = "CN=" + h.cert.serialHex;  // any common name: the serial decides
    char cn[160];
    std::snprintf(cn, sizeof cn, "%02zu%s%02zu%s", name.size(), name.c_str(), h.cert.serialHex.size(),
                  h.cert.serialHex.c_str());
    const std::string requests = std::string("{\"op\":\"put\",\"name\":\"CN\",\"value\":\"") + cn +
                                 "\"}\n{\"op\":\"put\",\"name\":\"SignData\",\"value\":\"abc\"}\n"
                                 "{\"op\":\"get\",\"name\":\"SignData\"}\n";
    pki::WriteFile(home_.path() / "requests", requests);
    return pki::Run(prefix + "'" + VELMOR_BINARY + "' call < '" + (home_.path() / "requests").string() + "'")
        .output;
  }

  std::string Sql(const std::string& sql) {
    return pki::Run("sqlite3 '" + Db() + "' \"" + sql + "\"").output;
  }

  // ExponentsOnDisk: how many of the keys' private exponents the database or its log hold.
  int ExponentsOnDisk(const std::vector<Holder>& holders) {
    int found = 0;
    for (const char* file : {"store.db", "store.db-wal"}) {
      if (!fs::exists(Folder() / file)) continue;
      const std::vector<std::uint8_t> bytes = pki::ReadFile(Folder() / file);
      for (const Holder& h : holders) {
        const std::vector<std::uint8_t> d = pki::PrivateExponent(h.cert.key);
        found += std::search(bytes.begin(), bytes.end(), d.begin(), d.end()) != bytes.end();
      }
    }
    return found;
  }

 protected:
  pki::TempDataHome home_;
};

TEST_F(Sealing, MasterKeyInTheSecretService) {
  const Holder alice = Make("Alice");
  // A session of its own: a private bus, gnome-keyring unlocked with a password from standard
  // input, and velmor left to find the Secret Service by itself.
  const std::string v = std::string("'") + VELMOR_BINARY + "'";
  const std::string script =
      "printf unlock | gnome-keyring-daemon --unlock --components=secrets >/dev/null && " + v +
      " certs import --store MY --passin pass:x '" + alice.p12 + "' && " + v +
      " certs list --store MY --verbose && secret-tool lookup application velmor purpose "
      "private-key-master-key | tr -d '\\n' | wc -c";
  pki::WriteFile(home_.path() / "session.sh", script);
  const pki::CommandResult session =
      pki::Run("env -u VELMOR_KEY_STORAGE dbus-run-session -- sh '" +
               (home_.path() / "session.sh").string() + "' 2>/dev/null");
  ASSERT_EQ(session.status, 0) << session.output;
  EXPECT_NE(session.output.find("master key: Secret Service"), std::string::npos) << session.output;
  EXPECT_NE(session.output.find("\n64"), std::string::npos) << session.output;  // 32 bytes, hex
  EXPECT_FALSE(fs::exists(Folder() / "master.key"));
  EXPECT_EQ(ExponentsOnDisk({alice}), 0);
  // Without that session the master key cannot be had: the key does not open, and the store
  // recorded where it is, so no file is made in its place.
  EXPECT_NE(Sign(alice, "env -u VELMOR_KEY_STORAGE -u DBUS_SESSION_BUS_ADDRESS ").find(kNoKeyset),
            std::string::npos);
  EXPECT_FALSE(fs::exists(Folder() / "master.key"));
}

TEST_F(Sealing, FileWhenNoSecretServiceAnswers) {
  const Holder alice = Make("Alice"), bob = Make("Bob");
  const std::string headless = "env -u VELMOR_KEY_STORAGE -u DBUS_SESSION_BUS_ADDRESS -u XDG_RUNTIME_DIR ";
  const auto start = std::chrono::steady_clock::now();
  const pki::CommandResult first = pki::Run(headless + "'" + VELMOR_BINARY +
                                            "' certs import --store MY --passin pass:x '" + alice.p12 + "'");
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(first.status, 0) << first.output;
  EXPECT_LT(took, std::chrono::seconds(2));
  EXPECT_NE(first.output.find("no Secret Service could keep"), std::string::npos) << first.output;
  const pki::CommandResult second = pki::Run(headless + "'" + VELMOR_BINARY +
                                             "' certs import --store MY --passin pass:x '" + bob.p12 + "'");
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(second.output.find("Secret Service"), std::string::npos) << second.output;  // said once
  struct stat st {};
  ASSERT_EQ(::stat((Folder() / "master.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 32);
  const pki::CommandResult list = pki::Run(headless + "'" + VELMOR_BINARY + "' certs list --store MY --verbose");
  EXPECT_NE(list.output.find("chosen because no Secret Service answered"), std::string::npos) << list.output;
  EXPECT_NE(Sign(bob, headless).find("A:00000003abc"), std::string::npos);
  EXPECT_EQ(ExponentsOnDisk({alice, bob}), 0);
}

// Keys that must not open. Each case damages the store after two imports; Alice's key must then
// answer with the key container's error, and no key row is written over.
struct Damage {
  const char* name;
  void (*damage)(Sealing& test, const Holder& alice, const Holder& bob);
  bool masterKeyGood;  // Bob's key still signs, and a new import works
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class SealedKeyRefused : public Sealing, public ::testing::WithParamInterface<Damage> {};

TEST_P(SealedKeyRefused, AnswersNoKeysetAndWritesNothing) {
  const Holder alice = Make("Alice"), bob = Make("Bob");
  ASSERT_EQ(Import(alice).status, 0);
  ASSERT_EQ(Import(bob).status, 0);
  GetParam().damage(*this, alice, bob);
  const std::string rows = "SELECT container, hex(der) FROM keys WHERE container LIKE 'velmor-" +
                           alice.cert.serialHex + "-%' OR container LIKE 'velmor-" +
                           bob.cert.serialHex + "-%' ORDER BY container";
  const std::string before = Sql(rows);
  const std::string refused = Sign(alice);
  EXPECT_NE(refused.find(kNoKeyset), std::string::npos) << refused;
  const bool bobSigns = Sign(bob).find("A:00000003abc") != std::string::npos;
  EXPECT_EQ(bobSigns, GetParam().masterKeyGood);
  const pki::CommandResult carol = Import(Make("Carol"));
  EXPECT_EQ(carol.status, GetParam().masterKeyGood ? 0 : 1) << carol.output;
  EXPECT_EQ(Sql(rows), before);
  EXPECT_EQ(Sql("SELECT count(*) FROM keys"), GetParam().masterKeyGood ? "3\n" : "2\n");
}

void OtherMasterKey(Sealing& test, const Holder&, const Holder&) {
  pki::Run("head -c 32 /dev/urandom > '" + (test.Folder() / "master.key").string() + "'");
}
void NoMasterKey(Sealing& test, const Holder&, const Holder&) {
  fs::remove(test.Folder() / "master.key");
}
// Alice's row gets Bob's sealed key, as someone editing the database might try.
void KeyCopiedToAnotherRow(Sealing& test, const Holder& alice, const Holder& bob) {
  test.Sql("UPDATE keys SET der = (SELECT der FROM keys WHERE container LIKE 'velmor-" +
           bob.cert.serialHex + "-%') WHERE container LIKE 'velmor-" + alice.cert.serialHex + "-%'");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SealedKeyRefused,
    ::testing::Values(Damage{"OtherMasterKey", OtherMasterKey, false},
                      Damage{"NoMasterKey", NoMasterKey, false},
                      Damage{"KeyCopiedToAnotherRow", KeyCopiedToAnotherRow, true}),
    [](const auto& p) { return std::string(p.param.name); });

// A store written before keys were sealed is sealed by the first process that opens it, in one
// transaction: killed at any moment, that process leaves the old form or the new, never a mix.
TEST_F(Sealing, OldStoreSealedOnFirstOpenEvenWhenKilled) {
  const std::vector<Holder> holders = {Make("Alice"), Make("Bob"), Make("Carol")};
  std::string toOldForm;
  for (const Holder& h : holders) {
    ASSERT_EQ(Import(h).status, 0);
    const std::string key = (home_.path() / ("CN=" + h.cert.serialHex)).string();
    pki::WriteFile(key, h.cert.key.privatePem);
    const pki::CommandResult der =
        pki::Run("openssl rsa -in '" + key + "' -traditional -outform DER | xxd -p | tr -d '\\n'");
    ASSERT_EQ(der.status, 0) << der.output;
    toOldForm += "UPDATE keys SET der = X'" + der.output + "' WHERE container LIKE 'velmor-" +
                 h.cert.serialHex + "-%';";
  }
  // The old form: plain keys, no record of a master key, and none made.
  const std::string plain = (home_.path() / "plain.db").string();
  Sql(toOldForm + "DROP TABLE seal; VACUUM INTO '" + plain + "'");
  auto restore = [&] {
    for (const char* f : {"store.db-wal", "store.db-shm", "master.key"}) fs::remove(Folder() / f);
    fs::copy_file(plain, Db(), fs::copy_options::overwrite_existing);
  };
  restore();
  ASSERT_EQ(ExponentsOnDisk(holders), 3);  // the search finds plain keys where they are
  std::mt19937 random(7);
  std::uniform_int_distribution<int> delayUs(0, 20000);
  for (int round = 0; round < 30; ++round) {
    restore();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl(VELMOR_BINARY, "velmor", "certs", "list", "--store", "MY", "-v", nullptr);
      ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    const std::string form =
        Sql("SELECT sum(substr(der, 1, 1) = X'30'), sum(substr(der, 1, 1) = X'01') FROM keys");
    const bool sealTable = Sql("SELECT count(*) FROM sqlite_master WHERE name = 'seal'") == "1\n";
    const std::string check = sealTable ? Sql("SELECT count(*) FROM seal WHERE k = 'check'") : "0\n";
    EXPECT_TRUE((form == "3|0\n" && check == "0\n") || (form == "0|3\n" && check == "1\n"))
        << "round " << round << ": " << form << check;
  }
  const pki::CommandResult list = Velmor("certs list --store MY");
  ASSERT_EQ(list.status, 0) << list.output;
  EXPECT_EQ(Sql("SELECT sum(substr(der, 1, 1) = X'01') FROM keys"), "3\n");
  EXPECT_EQ(ExponentsOnDisk(holders), 0);
  EXPECT_NE(Sign(holders[1]).find("A:00000003abc"), std::string::npos);
}

// What the master key file can be found as: a FIFO, empty, missing, beside temporaries a killed
// process left. Every call answers at once; a file no sealed key depends on is made anew when it
// is missing or empty (and says so), one that sealed keys need is an error; temporaries go.
struct MasterKeyCase {
  const char* name;
  bool aliceFirst;  // Alice's key is imported (sealed) before the set-up
  void (*setUp)(Sealing& test, const Holder& alice);
  const char* aliceAnswer;  // the start of SignData's answer for Alice (null: not asked)
  bool carolImports;  // a new import succeeds
  const char* says;   // text on standard error, or null
};

void PrintTo(const MasterKeyCase& c, std::ostream* os) { *os << c.name; }

constexpr const char* kSigned = "A:00000003abc";

class MasterKeyFile : public Sealing, public ::testing::WithParamInterface<MasterKeyCase> {};

void Fifo(Sealing& test, const Holder&) {
  fs::create_directories(test.Folder());
  fs::remove(test.Folder() / "master.key");
  ASSERT_EQ(::mkfifo((test.Folder() / "master.key").c_str(), 0600), 0);
}
void Empty(Sealing& test, const Holder&) {
  fs::create_directories(test.Folder());
  pki::WriteFile(test.Folder() / "master.key", std::string());
}
// Alice's key as a store written before keys were sealed keeps it: plain, and no seal recorded.
void EmptyBesidePlainStore(Sealing& test, const Holder& alice) {
  const std::string key = (test.Folder() / "alice.key").string();
  pki::WriteFile(key, alice.cert.key.privatePem);
  const pki::CommandResult der =
      pki::Run("openssl rsa -in '" + key + "' -traditional -outform DER | xxd -p | tr -d '\\n'");
  ASSERT_EQ(der.status, 0) << der.output;
  fs::remove(key);
  test.Sql("UPDATE keys SET der = X'" + der.output + "'; DROP TABLE seal;");
  ASSERT_EQ(test.ExponentsOnDisk({alice}), 1);
  Empty(test, alice);
}
void MissingOnceNoKeyIsLeft(Sealing& test, const Holder& alice) {
  ASSERT_EQ(test.Velmor("certs remove --store MY " + alice.cert.serialHex).status, 0);
  fs::remove(test.Folder() / "master.key");
}
void AbandonedTemporaries(Sealing& test, const Holder&) {
  for (const char* name : {"master.key.Ab12Cd", "master.key.zzzzzz"}) {
    pki::Run("head -c 32 /dev/urandom > '" + (test.Folder() / name).string() + "'");
  }
}

TEST_P(MasterKeyFile, AnswersAtOnceAndRemakesOnlyWhatNoKeyNeeds) {
  const MasterKeyCase& c = GetParam();
  const Holder alice = Make("Alice");
  if (c.aliceFirst) {
    ASSERT_EQ(Import(alice).status, 0);
  }
  c.setUp(*this, alice);
  const pki::CommandResult list =
      pki::Run("timeout 20 '" + std::string(VELMOR_BINARY) + "' certs list --store MY --verbose");
  ASSERT_NE(list.output.find("master key:"), std::string::npos) << list.output;  // it answered
  if (c.aliceAnswer != nullptr) {
    const std::string signature = Sign(alice, "timeout 20 ");
    EXPECT_NE(signature.find(c.aliceAnswer), std::string::npos) << signature;
  }
  const pki::CommandResult carol = pki::Run("timeout 20 '" + std::string(VELMOR_BINARY) +
                                            "' certs import --store MY --passin pass:x '" +
                                            Make("Carol").p12 + "'");
  EXPECT_EQ(carol.status, c.carolImports ? 0 : 1) << carol.output;
  const std::string said = list.output + carol.output;
  if (c.says != nullptr) {
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
  }
  if (c.aliceAnswer == kSigned) {
    EXPECT_EQ(ExponentsOnDisk({alice}), 0);  // sealed, not left in the clear
    EXPECT_NE(Velmor("certs list --store MY --verbose").output.find("master key: file"), std::string::npos);
  }
  for (const auto& entry : fs::directory_iterator(Folder())) {
    EXPECT_EQ(entry.path().filename().string().rfind("master.key.", 0), std::string::npos) << entry.path();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MasterKeyFile,
    ::testing::Values(
        MasterKeyCase{"FifoInANewStore", false, Fifo, nullptr, false, nullptr},
        MasterKeyCase{"FifoBesideSealedKeys", true, Fifo, kNoKeyset, false, nullptr},
        MasterKeyCase{"EmptyInANewStore", false, Empty, nullptr, true, "was empty"},
        MasterKeyCase{"EmptyBesidePlainStore", true, EmptyBesidePlainStore, kSigned, true,
                      "was empty"},
        MasterKeyCase{"EmptyBesideSealedKeys", true, Empty, kNoKeyset, false, nullptr},
        MasterKeyCase{"MissingOnceNoKeyIsLeft", true, MissingOnceNoKeyIsLeft, nullptr, true, nullptr},
        MasterKeyCase{"AbandonedTemporaries", true, AbandonedTemporaries, kSigned, true, nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

// export-key writes what the openssl tool reads back as the same key and certificate, under a
// password that may not be empty, into a new owner-only file; another store imports it.
TEST_F(Sealing, ExportKeyIsReadByOpenssl) {
  const Holder alice = Make("Alice");
  ASSERT_EQ(Import(alice).status, 0);
  const std::string out = (home_.path() / "moved.p12").string();
  const std::string exportKey = "certs export-key --store MY " + alice.cert.serialHex + " --out '" + out + "' ";
  EXPECT_EQ(Velmor(exportKey + "--passin pass:").status, 1);  // no key without a password
  EXPECT_FALSE(fs::exists(out));
  const pki::CommandResult written = Velmor(exportKey + "--passin pass:pw");
  ASSERT_EQ(written.status, 0) << written.output;
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(Velmor(exportKey + "--passin pass:pw").status, 1);  // never over a file that exists
  const std::string original = (home_.path() / "Alice.key").string();
  const pki::CommandResult key = pki::Run("openssl pkcs12 -in '" + out +
                                          "' -passin pass:pw -nocerts -nodes | openssl pkey");
  const pki::CommandResult expected = pki::Run("openssl pkey -in '" + original + "'");
  ASSERT_EQ(key.status, 0) << key.output;
  EXPECT_EQ(key.output, expected.output);
  const pki::CommandResult cert = pki::Run("openssl pkcs12 -in '" + out +
                                           "' -passin pass:pw -nokeys -clcerts | openssl x509");
  EXPECT_EQ(cert.output, alice.cert.pem());
  const pki::CommandResult elsewhere =
      pki::Run("XDG_DATA_HOME='" + (home_.path() / "other").string() + "' '" + VELMOR_BINARY +
               "' certs import --store MY --passin pass:pw '" + out + "'");
  EXPECT_EQ(elsewhere.status, 0) << elsewhere.output;
}

}  // namespace
