// What the fuzz targets at the control's surface share: a store with real certificates and keys,
// made once per process in a private data directory; controls driven through IDispatch; and the
// framing that splits one input into a selector byte and fields.
//
// The keys are derived from fixed labels rather than drawn at random, so that the seed generator
// and every fuzz process hold the same keys: a seed envelope then opens and a seed message's
// signer then chains to the store's issuer, and the fuzzer starts past the first checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/control.h"
#include "tests/support/pki.h"

namespace velmor::fuzz {

// A fuzz input larger than this is skipped: every member's work grows with its input, and the
// interesting cases are short.
inline constexpr std::size_t kMaxControlInput = 16384;

// The certificates in the fuzz store. Serials are fixed so that seeds can name them.
struct Pki {
  testing::TestCert ca;         // self-signed; in "CA" and "Root"
  testing::TestCert signer;     // issued by ca, OU=QVA; in "MY" with its key
  testing::TestCert recipient;  // issued by ca, OU=QWB; in "MY" with its key and in "CA"
};

// Fixture: the process's store and work folder. Made by the first call of Get() (from
// the target's set-up), removed at exit. Throws when the store cannot be made.
class Fixture {
 public:
  static Fixture& Get();
  const Pki& pki() const { return pki_; }
  // A folder only this process uses, for the files the members read and write.
  const std::filesystem::path& work() const { return work_; }
  // SignerCNText: the CN setter's two-field text naming the signer.
  std::string SignerCNText() const;

 private:
  Fixture();
  testing::TempDataHome home_;
  Pki pki_;
  std::filesystem::path work_;
};

// DerivedKey: an RSA key of `bits` bits whose primes are the first primes after numbers drawn
// from SHA-256 of `label`. The same label gives the same key in every process. Throws on an
// OpenSSL failure.
testing::TestKey DerivedKey(std::string_view label, int bits);

// NewControl: a fresh control's IDispatch, one reference held; aborts when none can be made.
com::ComPtr<IDispatch> NewControl();

// Invoke: one IDispatch call with text arguments in declaration order (nullopt: an absent
// argument, VT_NULL). Aborts unless the call returns S_OK, with a string result for a get or a
// method; returns that result (empty for a put).
std::u16string Invoke(IDispatch* d, DISPID id, WORD flags,
                      const std::vector<std::optional<std::u16string>>& args);
std::u16string Get(IDispatch* d, DISPID id);
void Put(IDispatch* d, DISPID id, const std::optional<std::u16string>& value);
std::u16string Call(IDispatch* d, DISPID id, const std::vector<std::optional<std::u16string>>& args);

// Frame: an input as a selector byte and `count` fields. The first count - 1 fields end at a
// zero byte; the last runs to the end of the input, zeros included, so that it can carry file
// contents. Missing fields are empty.
struct Frame {
  std::uint8_t selector = 0;
  std::vector<std::string> fields;
};
Frame Split(const std::uint8_t* data, std::size_t size, std::size_t count);
// JoinFrame: the inverse of Split, for the seed generator.
std::string JoinFrame(std::uint8_t selector, const std::vector<std::string>& fields);

// Widen / Narrow: bytes in a code page (UTF-8 unless named) as a page's text, ill-formed
// sequences becoming U+FFFD, and back.
std::u16string Widen(std::string_view text, UINT codePage = CP_UTF8);
std::string Narrow(std::u16string_view text, UINT codePage = CP_UTF8);

// Base64: the bytes as one line of Base64, as a page passes a certificate or an envelope.
std::string Base64(std::string_view bytes);

// Check: aborts with `what` on standard error when `ok` is false, so that libFuzzer keeps the
// input as a crash.
void Check(bool ok, const char* what);

// IsFailure: whether a result is an "E:" code: "E:" and four digits, then nothing or one blank
// and the "%x %d" pair of one error value.
bool IsFailure(std::u16string_view result);
// FailureCode: the four-digit code of an "E:" result; -1 for any other result.
int FailureCode(std::u16string_view result);

// TypedFields: the fields of a typed result: `type`, ":", then `count` times eight decimal digits
// and that many bytes, and nothing after. nullopt for any other text. With `shortLast` the last
// field may show fewer bytes than its count (a text shown up to its first zero byte).
std::optional<std::vector<std::string>> TypedFields(std::string_view ansi, char type, int count,
                                                    bool shortLast = false);
// IsUpperHex: whether the text is non-empty and holds only 0-9 and A-F.
bool IsUpperHex(std::string_view text);

// RemoveIfPresent: deletes a file a member may have written, so that no run sees the previous
// run's output.
void RemoveIfPresent(const std::filesystem::path& path);

// RunGuard: clears the module-wide buffers and the ANSI code page at the start and end of a run,
// so that every run starts from a freshly loaded module.
class RunGuard {
 public:
  RunGuard();
  ~RunGuard();
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;
};

}  // namespace velmor::fuzz
