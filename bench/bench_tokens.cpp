// The SignData getter with a key on a SoftHSM token beside the same key in a software container,
// in one run: the token's cost (store listing of the token, session, PIN dialog through the
// scripted pinentry, login, C_Sign) over the software path, and how much of it is the PIN
// dialog's process. RSA-1024, the tokens the tests make.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench/ratio_reporter.h"
#include "platform/crypt/pinentry.h"
#include "signing/signing.h"
#include "tests/support/softhsm.h"

namespace {

using velmor::testing::TestCert;

constexpr const char* kText = "pay 100.00 EUR to account 12345678~!~ref 2026-12-07";

// World: the SoftHSM tokens, and the main token's key imported into software under a
// certificate of its own (so that CN picks one or the other).
struct World {
  velmor::testing::TempDataHome home;
  TestCert software;

  World() {
    velmor::testing::Tokens();
    velmor::ClearModuleBuffers();
    velmor::testing::CertSpec spec = velmor::testing::Spec("/CN=Sam Software/OU=QVA/O=Tarnvik Bank",
                                                           {0x5f, 0x01});
    spec.key = velmor::testing::Tokens().main.cert.key;
    software = velmor::testing::MakeCert(spec);
    velmor::testing::ImportWithKey("MY", software);
  }
};

World& TheWorld() {
  static World world;
  return world;
}

void Select(velmor::CtrlState& state, const TestCert& cert) {
  char lengths[8];
  std::snprintf(lengths, sizeof lengths, "%02zu", cert.serialHex.size());
  velmor::SetCN(state, ("08CN=Alice" + std::string(lengths) + cert.serialHex).c_str());
  velmor::SetSignData(state, kText);
}

void SignLoop(benchmark::State& run, const TestCert& cert) {
  velmor::CtrlState state;
  Select(state, cert);
  for (auto _ : run) {
    std::string result = velmor::GetSignData(state);
    if (result.rfind("A:", 0) != 0) run.SkipWithError(result.c_str());
    benchmark::DoNotOptimize(result);
  }
}

void BM_SignDataGetterSoftHsm(benchmark::State& run) {
  TheWorld();
  SignLoop(run, velmor::testing::Tokens().main.cert);
}

void BM_SignDataGetterSoftware(benchmark::State& run) { SignLoop(run, TheWorld().software); }

// Opening "MY" and enumerating it: the database's certificates and those of the present tokens,
// as every operation does.
void BM_OpenAndEnumerateMy(benchmark::State& run) {
  TheWorld();
  for (auto _ : run) {
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    int n = 0;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(store, c)) {
      ++n;
    }
    CertCloseStore(store, 0);
    // The database's one and the six of the test tokens.
    if (n != 7) run.SkipWithError("not the seven certificates");
  }
}

// The PIN dialog alone: the scripted pinentry started, its conversation and its end, which the
// token's SignData includes once per call.
void BM_PinDialogAlone(benchmark::State& run) {
  TheWorld();
  const velmor::crypt::detail::PinDialog dialog{"Token PIN", "Enter the PIN", "PIN:"};
  for (auto _ : run) {
    velmor::crypt::detail::SecretBytes pin;
    if (velmor::crypt::detail::AskPin(dialog, pin) != velmor::crypt::detail::PinAnswer::kPin) {
      run.SkipWithError("no PIN");
    }
  }
}

BENCHMARK(BM_PinDialogAlone)->Unit(benchmark::kMicrosecond)->Repetitions(3);
BENCHMARK(BM_OpenAndEnumerateMy)->Unit(benchmark::kMicrosecond)->Repetitions(3);
BENCHMARK(BM_SignDataGetterSoftware)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_SignDataGetterSoftHsm)->Unit(benchmark::kMicrosecond)->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
  return velmor::bench::RunWithRatios(argc, argv, {
      {"SignData getter, SoftHSM key / the same key in software",
       "BM_SignDataGetterSoftHsm", "BM_SignDataGetterSoftware"},
      {"PIN dialog alone / SignData getter, SoftHSM key",
       "BM_PinDialogAlone", "BM_SignDataGetterSoftHsm"},
  });
}
