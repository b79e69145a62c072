// What velmor-host and `velmor call` remember of a secret once they have answered: a plaintext
// encrypted and then decrypted through either must be nowhere in its writable memory while it
// waits for the next request, neither as the page's UTF-8 nor as UTF-16.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/hosts/host_process.h"
#include "tests/support/pki.h"

namespace {

namespace pki = velmor::testing;
using Json = nlohmann::json;

// WaitingForAMessage: whether the host sits in read(2), which it only enters for the next
// message once it is done with the last answer.
bool WaitingForAMessage(pid_t pid) {
  for (int tries = 0; tries < 5000; ++tries) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    if (in >> number && number == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

struct Found {
  std::string mapping;
  std::uintptr_t address;
  const char* form;
};

// Scan: every place in the writable mappings of `pid` that holds one of `needles`; `readable`
// is false when the memory cannot be read at all.
std::vector<Found> Scan(pid_t pid, const std::vector<std::pair<const char*, std::string>>& needles,
                        bool& readable) {
  std::vector<Found> found;
  const int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  readable = mem >= 0;
  if (!readable) return found;
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::string line;
  std::size_t longest = 0;
  for (const auto& [form, needle] : needles) longest = std::max(longest, needle.size());
  std::vector<char> chunk(std::size_t{1} << 20);
  std::size_t readBytes = 0;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode, name;
    fields >> range >> perms >> offset >> device >> inode;
    std::getline(fields >> std::ws, name);
    if (perms.size() < 2 || perms[1] != 'w') continue;
    const std::uintptr_t start = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
    const std::uintptr_t end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
    // A sanitizer's shadow is terabytes of reservation that holds no data of the program.
    if (end - start > (std::uintptr_t{4} << 30)) continue;
    for (std::uintptr_t at = start; at < end;) {
      const std::size_t want = std::min<std::uintptr_t>(chunk.size(), end - at);
      const ssize_t n = ::pread(mem, chunk.data(), want, static_cast<off_t>(at));
      if (n <= 0) break;
      readBytes += static_cast<std::size_t>(n);
      const std::string_view view(chunk.data(), static_cast<std::size_t>(n));
      for (const auto& [form, needle] : needles) {
        for (std::size_t k = view.find(needle); k != std::string_view::npos; k = view.find(needle, k + 1)) {
          found.push_back({name.empty() ? "[anonymous " + range + "]" : name, at + k, form});
        }
      }
      // Step back so that a copy across two chunks is seen whole in the next.
      const std::uintptr_t step = static_cast<std::uintptr_t>(n);
      at += (at + step < end && step > longest) ? step - longest + 1 : step;
    }
  }
  ::close(mem);
  readable = readBytes > 0;
  return found;
}

// CallProcess: one `velmor call` on two pipes, a JSON line each way.
class CallProcess {
 public:
  CallProcess() : child_(VELMOR_BINARY, "velmor", "call") {}
  CallProcess(const CallProcess&) = delete;
  CallProcess& operator=(const CallProcess&) = delete;
  pid_t pid() const { return child_.pid(); }
  Json Ask(const Json& request) {
    const std::string line = request.dump() + "\n";
    if (::write(child_.to(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {};
    std::string answer;
    char c = 0;
    while (::read(child_.from(), &c, 1) == 1 && c != '\n') answer += c;
    return Json::parse(answer, nullptr, false);
  }

 private:
  pki::PipedChild child_;
};

class HostMemory : public ::testing::TestWithParam<bool> {};  // true: through `velmor call`

template <typename Program>
void ExpectNoPlaintextLeft(Program& host, const pki::TestCert& cert) {
  // A text no other run, and nothing else in the host, holds.
  std::random_device random;
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string plain = "velmor-memory-";
  while (plain.size() < 96) plain += alphabet[random() % (sizeof alphabet - 1)];
  std::string wide;
  for (char c : plain) wide += std::string{c, '\0'};

  ASSERT_GT(host.pid(), 0);
  ASSERT_EQ(host.Ask({{"op", "put"}, {"name", "EncryptCN"}, {"value", cert.serialHex}}).value("error", ""), "");
  const Json sealed = host.Ask({{"op", "call"}, {"name", "Encrypt"}, {"args", {plain}}});
  ASSERT_EQ(sealed.value("result", "E:").rfind("E:", 0), std::string::npos) << sealed.dump();
  ASSERT_EQ(host.Ask({{"op", "put"}, {"name", "DecryptCN"}, {"value", cert.serialHex}}).value("error", ""), "");
  const Json opened = host.Ask({{"op", "call"}, {"name", "Decrypt"}, {"args", Json::array({sealed["result"]})},
                                {"origin", "https://bank.example"},
                                {"consent", {{"op", "call"}, {"name", "Decrypt"}, {"by", "user"}}}});
  ASSERT_NE(opened.value("result", "").find(plain), std::string::npos) << opened.dump();
  // The reader's buffers of the last request are the ones no later request has reused.
  ASSERT_EQ(host.Ask({{"op", "call"}, {"name", "Encrypt"}, {"args", {plain}}}).value("error", ""), "");

  ASSERT_TRUE(WaitingForAMessage(host.pid()));
  bool readable = false;
  // A buffer freed unwiped loses its first bytes to the heap's own bookkeeping: any long part of
  // the text is looked for, not only the whole.
  std::vector<std::pair<const char*, std::string>> needles;
  for (std::size_t at = 0; at + 32 <= plain.size(); at += 16) {
    needles.push_back({"UTF-8 part", plain.substr(at, 32)});
    needles.push_back({"UTF-16 part", wide.substr(2 * at, 64)});
  }
  const std::vector<Found> found = Scan(host.pid(), needles, readable);
  if (!readable) GTEST_SKIP() << "the host's memory cannot be read here";
  std::string where;
  for (const Found& f : found) {
    char address[32];
    std::snprintf(address, sizeof address, "%#lx", static_cast<unsigned long>(f.address));
    where += std::string("\n  ") + f.form + " at " + address + " in " + f.mapping;
  }
  EXPECT_TRUE(found.empty()) << found.size() << " copies of the plaintext:" << where;
}

TEST_P(HostMemory, HoldsNoPlaintextOnceItHasAnswered) {
  pki::TempDataHome home;
  pki::RegisterModule(VELMOR_BINARY);
  const pki::TestCert cert = pki::MakeCert(pki::Spec("/CN=Recipient/OU=QVA/O=Tarnvik Bank"));
  pki::ImportWithKey("MY", cert);
  pki::AddToStore("CA", cert);  // where a recipient is looked for
  if (GetParam()) {
    CallProcess call;
    ExpectNoPlaintextLeft(call, cert);
  } else {
    pki::Host host;
    ExpectNoPlaintextLeft(host, cert);
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, HostMemory, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "VelmorCall" : "VelmorHost"; });

}  // namespace
