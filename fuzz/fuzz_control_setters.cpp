// The input setters with arbitrary texts, then one of the getters or methods that read them,
// through IDispatch on a store with real keys.
//
// Input: a selector byte, then CN, SignData, EncryptCN, DecryptCN and IssuerCN as zero-ended
// UTF-8 texts, then the rest (a file's content or a method's argument). Bits 0-3 of the selector
// give CN, EncryptCN, DecryptCN and IssuerCN the fuzzed text instead of the real signer's,
// recipient's and issuer's names; bits 4-7 pick the reader. Where every name is the real one,
// what is made must also come back: a signature verifies, a message verifies to its text, an
// envelope opens to its plaintext.
#include <cstring>
#include <fstream>
#include <iterator>

#include "fuzz/control_fixture.h"
#include "fuzz/prologue.h"

namespace {

using namespace velmor;
using namespace velmor::fuzz;

enum Field { kCN, kSignData, kEncryptCN, kDecryptCN, kIssuerCN, kRest, kFieldCount };

struct Names {
  bool cn, encryptCN, decryptCN, issuerCN;  // true: the real one
};

void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  Check(static_cast<bool>(out), "cannot write the input file");
}

std::optional<std::string> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A result is an "E:" code or the form `check` accepts.
template <typename F>
void Expect(const std::u16string& result, F check, const char* what) {
  if (IsFailure(result)) return;
  Check(check(Narrow(result)), what);
}

// SignCert's Base64 has line feeds; VerifySignature takes the certificate without them.
std::u16string OneLine(std::u16string text) {
  std::erase(text, u'\n');
  return text;
}

// CheckSignData: SignData's answer; with the real signer it verifies against its own text.
void CheckSignData(IDispatch* d, const Names& names) {
  const std::u16string result = Get(d, DISPID_SignData);
  if (IsFailure(result)) return;
  const auto fields = TypedFields(Narrow(result), 'A', 2);
  Check(fields && !(*fields)[0].empty() && (*fields)[1].size() == 256 && IsUpperHex((*fields)[1]),
        "SignData: not A: text, then 256 hexadecimal digits");
  if (!names.cn) return;
  const std::u16string cert = OneLine(Call(d, DISPID_SignCert, {}));
  const std::u16string verdict =
      Call(d, DISPID_VerifySignature, {Widen((*fields)[0]), Widen((*fields)[1]), cert});
  Check(verdict == u"A:0000", "a SignData signature of the real signer does not verify");
}

void CheckMessage(IDispatch* d, const Names& names) {
  const std::u16string signed_ = Get(d, DISPID_SignData);
  const std::u16string message = Call(d, DISPID_PKCS7Data, {});
  if (IsFailure(message)) {
    Check(IsFailure(signed_), "PKCS7Data fails where SignData signs");
    return;
  }
  for (char16_t c : message) {
    Check(c < 0x80, "PKCS7Data: not Base64 text");
  }
  const std::u16string verdict = Call(d, DISPID_VerifyPKCS7, {message});
  if (!names.issuerCN) return;
  const auto content = TypedFields(Narrow(verdict), 'A', 1, true);
  Check(content.has_value(), "a PKCS7Data message of a store certificate does not verify");
  if (const auto text = TypedFields(Narrow(signed_), 'A', 2)) {
    Check((*content)[0] == (*text)[0].substr(0, (*content)[0].size()),
          "VerifyPKCS7 shows another text than was signed");
  }
}

void CheckEnvelope(IDispatch* d, const Names& names, const std::string& rest) {
  const std::u16string plain = Widen(rest);
  const std::u16string envelope = Call(d, DISPID_Encrypt, {plain});
  if (IsFailure(envelope)) {
    Check(!names.encryptCN || FailureCode(envelope) == 11, "Encrypt for the real recipient fails");
    return;
  }
  const std::u16string opened = Call(d, DISPID_Decrypt, {envelope});
  if (!names.encryptCN || !names.decryptCN) return;
  // The control takes a text up to its first zero character.
  const std::string utf8 = Narrow(plain.substr(0, plain.find(u'\0')));
  const auto fields = TypedFields(Narrow(opened), 'A', 1);
  Check(fields && (*fields)[0] == utf8, "an Encrypt envelope does not open to its text");
}

void CheckFileEnvelope(IDispatch* d, const Names& names, const std::string& rest) {
  const std::filesystem::path in = Fixture::Get().work() / "in.bin";
  const std::filesystem::path sealed = in.string() + ".enc";
  const std::filesystem::path opened = sealed.string() + ".dec";
  WriteBytes(in, rest);
  const std::u16string result = Call(d, DISPID_EncryptFile, {Widen(in.string())});
  if (result == u"A:0000") {
    const std::u16string back = Call(d, DISPID_DecryptFile, {Widen(sealed.string())});
    if (names.encryptCN && names.decryptCN) {
      Check(back == u"A:0000" && ReadBytes(opened) == rest,
            "an EncryptFile envelope does not open to the file");
    }
  } else {
    Check(IsFailure(result) && !names.encryptCN, "EncryptFile for the real recipient fails");
  }
  RemoveIfPresent(in);
  RemoveIfPresent(sealed);
  RemoveIfPresent(opened);
}

void CheckSignFile(IDispatch* d, const std::u16string& path) {
  Put(d, DISPID_SignFile, path);
  const std::u16string result = Get(d, DISPID_SignFile);
  Expect(result, [](const std::string& r) {
    const auto fields = TypedFields(r, 'F', 1);
    return fields && (*fields)[0].size() == 256 && IsUpperHex((*fields)[0]);
  }, "SignFile: not F: and 256 hexadecimal digits");
}

// The input getters report what was stored, never an "E:" code.
void CheckInputGetters(IDispatch* d) {
  for (DISPID id : {DISPID_EncryptCN, DISPID_DecryptCN, DISPID_IssuerCN, DISPID_CN}) {
    Check(FailureCode(Get(d, id)) < 0, "an input getter answers with an E: code");
  }
}

void ReadEverything(IDispatch* d, const std::string& rest) {
  CheckInputGetters(d);
  for (DISPID id : {DISPID_SignData, DISPID_Signature}) {
    const std::u16string r = Get(d, id);
    Check(IsFailure(r) || r.substr(0, 2) == (id == DISPID_SignData ? u"A:" : u"L:"),
          "a signing getter answers neither E: nor its type");
  }
  for (DISPID id : {DISPID_PKCS7Data, DISPID_SignCert, DISPID_getProviderName, DISPID_getCertList}) {
    Call(d, id, {});
  }
  Call(d, DISPID_Encrypt, {Widen(rest)});
}

int Init() {
  Fixture::Get();
  return 0;
}

int Run(const std::uint8_t* data, std::size_t size) {
  const RunGuard guard;
  const Fixture& fixture = Fixture::Get();
  const Frame frame = Split(data, size, kFieldCount);
  const auto& f = frame.fields;
  const Names names{(frame.selector & 1) == 0, (frame.selector & 2) == 0,
                    (frame.selector & 4) == 0, (frame.selector & 8) == 0};
  const unsigned reader = frame.selector >> 4;

  const auto d = NewControl();
  Put(d.get(), DISPID_CN, Widen(names.cn ? fixture.SignerCNText() : f[kCN]));
  Put(d.get(), DISPID_SignData, Widen(f[kSignData]));
  const std::string& recipient = fixture.pki().recipient.serialHex;
  Put(d.get(), DISPID_EncryptCN, Widen(names.encryptCN ? recipient : f[kEncryptCN]));
  Put(d.get(), DISPID_DecryptCN, Widen(names.decryptCN ? recipient : f[kDecryptCN]));
  Put(d.get(), DISPID_IssuerCN,
      Widen(names.issuerCN ? fixture.pki().ca.serialHex : f[kIssuerCN]));

  switch (reader) {
    case 0:
      CheckInputGetters(d.get());
      break;
    case 1:
      CheckSignData(d.get(), names);
      break;
    case 2:
      Expect(Get(d.get(), DISPID_Signature), [](const std::string& r) {
        const auto fields = TypedFields(r, 'L', 1);
        return fields && (*fields)[0].size() == 256 && IsUpperHex((*fields)[0]);
      }, "Signature: not L: and 256 hexadecimal digits");
      break;
    case 3:
      CheckMessage(d.get(), names);
      break;
    case 4: {
      const std::u16string cert = Call(d.get(), DISPID_SignCert, {});
      if (names.cn) {
        Check(Narrow(OneLine(cert)) == testing::CertBase64(fixture.pki().signer),
              "SignCert is not the signer's certificate");
      }
      break;
    }
    case 5: {
      const std::filesystem::path in = fixture.work() / "in.bin";
      WriteBytes(in, f[kRest]);
      CheckSignFile(d.get(), Widen(in.string()));
      RemoveIfPresent(in);
      break;
    }
    case 6: {
      // A name under the work folder where no file was written: a missing file, a folder or a
      // path too long, each refused.
      std::string name = f[kRest];
      for (char& c : name) {
        if (c == '/' || c == '\0') c = '_';
      }
      CheckSignFile(d.get(), Widen((fixture.work() / name).string()));
      break;
    }
    case 7:
      Call(d.get(), DISPID_getProviderName, {});
      break;
    case 8:
      Call(d.get(), DISPID_getCertList, {});
      break;
    case 9:
      CheckEnvelope(d.get(), names, f[kRest]);
      break;
    case 10:
      CheckFileEnvelope(d.get(), names, f[kRest]);
      break;
    case 11: {
      Put(d.get(), DISPID_Copyright, Widen(f[kRest]));
      const std::u16string wide = Widen(f[kRest]);
      Check(Get(d.get(), DISPID_Copyright) == wide.substr(0, wide.find(u'\0')),
            "Copyright does not keep its text");
      break;
    }
    case 12:
      ReadEverything(d.get(), f[kRest]);
      break;
    default: {
      // The same readers with texts converted through a legacy ANSI code page: the setters'
      // values were converted with UTF-8, so the buffers hold bytes the code page may not define.
      static constexpr UINT kCodePages[] = {1252, 936, 932};
      com::SetAnsiCodePage(kCodePages[reader - 13]);
      ReadEverything(d.get(), f[kRest]);
      break;
    }
  }
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 0, .maxInput = kMaxControlInput, .init = Init, .run = Run};
