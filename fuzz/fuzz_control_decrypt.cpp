// Decrypt and DecryptFile on arbitrary envelopes, through IDispatch on a store that holds the
// recipient key the seed envelopes were sealed for.
//
// Input: a selector byte, then a DecryptCN text ending at a zero byte, then the envelope (the
// rest: Base64 text for Decrypt, the file's bytes for DecryptFile). Selector bit 0: DecryptFile
// instead of Decrypt; bit 1: DecryptCN is the fuzzed text instead of the recipient's serial.
#include <fstream>
#include <iterator>

#include "fuzz/control_fixture.h"
#include "fuzz/prologue.h"

namespace {

using namespace velmor;
using namespace velmor::fuzz;

enum Field { kDecryptCN, kEnvelope, kFieldCount };

void CheckDecrypt(IDispatch* d, const std::string& envelope) {
  const std::u16string result = Call(d, DISPID_Decrypt, {Widen(envelope)});
  if (IsFailure(result)) return;
  // Plaintext bytes come back widened with the ANSI code page (UTF-8 here): the count is of
  // bytes, so it is checked only where the bytes survive the widening.
  const std::u16string::size_type bad = result.find(u'\uFFFD');
  if (bad != std::u16string::npos) {
    Check(result.substr(0, 2) == u"A:", "Decrypt: neither A: nor E:");
    return;
  }
  Check(TypedFields(Narrow(result), 'A', 1, true).has_value(),
        "Decrypt: neither A: with the plaintext nor E:");
}

void CheckDecryptFile(IDispatch* d, const std::string& envelope) {
  const std::filesystem::path in = Fixture::Get().work() / "envelope.enc";
  const std::filesystem::path out = in.string() + ".dec";
  {
    std::ofstream file(in, std::ios::binary | std::ios::trunc);
    file.write(envelope.data(), static_cast<std::streamsize>(envelope.size()));
    Check(static_cast<bool>(file), "cannot write the envelope file");
  }
  const std::u16string result = Call(d, DISPID_DecryptFile, {Widen(in.string())});
  Check(result == u"A:0000" || IsFailure(result), "DecryptFile: neither A:0000 nor E:");
  if (result == u"A:0000") {
    // The plaintext is what follows the blob and its length field: never more bytes than that.
    std::error_code ec;
    const auto written = std::filesystem::file_size(out, ec);
    Check(!ec && written + 16 <= envelope.size(), "DecryptFile wrote more than the envelope holds");
  }
  RemoveIfPresent(in);
  RemoveIfPresent(out);
}

int Init() {
  Fixture::Get();
  return 0;
}

int Run(const std::uint8_t* data, std::size_t size) {
  const RunGuard guard;
  const Frame frame = Split(data, size, kFieldCount);
  const bool realName = (frame.selector & 2) == 0;
  const auto d = NewControl();
  Put(d.get(), DISPID_DecryptCN,
      Widen(realName ? Fixture::Get().pki().recipient.serialHex : frame.fields[kDecryptCN]));
  if ((frame.selector & 1) == 0) {
    CheckDecrypt(d.get(), frame.fields[kEnvelope]);
  } else {
    CheckDecryptFile(d.get(), frame.fields[kEnvelope]);
  }
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 0, .maxInput = kMaxControlInput, .init = Init, .run = Run};
