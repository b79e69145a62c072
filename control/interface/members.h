// The members of the control's dispatch interface `_DVelmor`, once: name, DISPID, property or
// method, argument names, the form of a successful result and what reading or calling the
// member needs the user's consent for. Everything that names members is built from this table:
// the DISPID constants and the dispatch table of the control, the type library of resources/,
// the browser host's consent checks, and (through `velmor typelib --web`) the tables of web/.
//
// An interface header: it needs nothing but the standard library, so that resources/ and the
// hosts can read it without the control's implementation. control/interface/ sits below both
// control/ and resources/: the module's resources are built from it, and the control uses
// those resources, never the other way round.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace velmor::control {

// What a read or a call needs the user's consent for; a member may need several. Writing a
// property only stores an input and never needs any.
enum Consent : unsigned {
  kConsentNone = 0,
  kConsentSign = 1u << 0,              // makes a signature with the user's private key
  kConsentDecrypt = 1u << 1,           // opens an envelope with the user's private key
  kConsentFileOutput = 1u << 2,        // writes a file beside the one it is given
  kConsentReadCertificates = 1u << 3,  // hands the page the user's own certificates
};

// The names the consent flags go by in JSON and in web/, in flag order.
inline constexpr std::string_view kConsentNames[] = {"sign", "decrypt", "file-output",
                                                     "read-certificates"};

// What a read or call answers when it succeeds. Every member but the reports of stored inputs
// (Copyright and the CN properties) answers "E:" and a code when it fails.
enum class ResultForm : unsigned char {
  kReport,  // plain text: a stored input, or a text the member composes (a name, a list)
  kTypedA,  // "A:" and length-prefixed fields
  kTypedF,  // "F:" and length-prefixed fields: the signature of a file
  kTypedL,  // "L:" and length-prefixed fields: the signature of the SignData text
  kDone,    // "A:0000"
  kBase64,  // bare Base64 text, no prefix
};

// The steps whose failure reads the same in every member that takes them: a member's
// `commonCodes` say which of these codes it may answer with that meaning. Every other code, and
// these numbers in members without the flag, belong to the member's own table of codes.
enum CommonCode : unsigned {
  kCommonNone = 0,
  kCodeAcquire = 1u << 0,      // "E:0001 %x %d": the control's provider context was not had
  kCodeOpenMy = 1u << 1,       // "E:0002": the user's "MY" store did not open
  kCodeFindSigner = 1u << 2,   // "E:0003": no signer certificate matches CN
};
inline constexpr unsigned kCodesSigner = kCodeAcquire | kCodeOpenMy | kCodeFindSigner;

// The most arguments a method takes.
inline constexpr std::size_t kMaxMemberParams = 3;

struct Member {
  // As the type library spells it; matched without regard to ASCII case. Every name here is a
  // literal, so name.data() is zero-terminated.
  std::string_view name;
  int id;           // DISPID
  bool property;    // get and put; a method is only called
  unsigned params;  // a method's argument count
  unsigned consent;  // Consent flags of a get (property) or a call (method)
  ResultForm result;  // of a get (property) or a call (method)
  unsigned commonCodes;  // CommonCode flags of a get (property) or a call (method)
  // A method's argument names, in declaration order (zero-terminated, as `name`).
  std::array<std::string_view, kMaxMemberParams> paramNames;
};

// The dispatch interface, in DISPID order: the identifiers are 1 to 18 and never change.
inline constexpr Member kMembers[] = {
    // name, DISPID, property, arguments, consent, result, common codes, argument names
    {"Copyright", 1, true, 0, kConsentNone, ResultForm::kReport, kCommonNone, {}},
    {"SignData", 2, true, 0, kConsentSign, ResultForm::kTypedA, kCodesSigner, {}},
    {"CN", 3, true, 0, kConsentNone, ResultForm::kReport, kCommonNone, {}},
    {"SignFile", 4, true, 0, kConsentSign, ResultForm::kTypedF, kCodesSigner, {}},
    {"Signature", 5, true, 0, kConsentSign, ResultForm::kTypedL, kCodesSigner, {}},
    {"EncryptCN", 6, true, 0, kConsentNone, ResultForm::kReport, kCommonNone, {}},
    {"DecryptCN", 7, true, 0, kConsentNone, ResultForm::kReport, kCommonNone, {}},
    {"IssuerCN", 8, true, 0, kConsentNone, ResultForm::kReport, kCommonNone, {}},
    {"PKCS7Data", 9, false, 0, kConsentSign, ResultForm::kBase64, kCodesSigner, {}},
    {"SignCert", 10, false, 0, kConsentReadCertificates, ResultForm::kBase64, kCodesSigner, {}},
    {"Encrypt", 11, false, 1, kConsentNone, ResultForm::kBase64, kCodeAcquire, {"plainText"}},
    {"VerifyPKCS7", 12, false, 1, kConsentNone, ResultForm::kTypedA, kCommonNone, {"message"}},
    {"Decrypt", 13, false, 1, kConsentDecrypt, ResultForm::kTypedA, kCodeAcquire,
     {"ciphertext"}},
    {"EncryptFile", 14, false, 1, kConsentFileOutput, ResultForm::kDone, kCodeAcquire,
     {"fileName"}},
    {"DecryptFile", 15, false, 1, kConsentDecrypt | kConsentFileOutput, ResultForm::kDone,
     kCodeAcquire, {"fileName"}},
    {"VerifySignature", 16, false, 3, kConsentNone, ResultForm::kDone, kCodeAcquire,
     {"message", "Signature", "certificate"}},
    {"getProviderName", 17, false, 0, kConsentNone, ResultForm::kReport, kCodesSigner, {}},
    {"getCertList", 18, false, 0, kConsentReadCertificates, ResultForm::kReport,
     kCodeAcquire | kCodeOpenMy, {}},
};
inline constexpr std::size_t kMemberCount = std::size(kMembers);

// What the rest of the tree relies on: DISPIDs 1 to N in table order (the dispatch table is
// indexed by them), argument names for exactly the arguments there are, none for a property.
static_assert([] {
  for (std::size_t i = 0; i < kMemberCount; ++i) {
    const Member& m = kMembers[i];
    if (m.id != static_cast<int>(i) + 1 || m.params > kMaxMemberParams) return false;
    if (m.property && m.params != 0) return false;
    for (std::size_t k = 0; k < kMaxMemberParams; ++k) {
      if (m.paramNames[k].empty() != (k >= m.params)) return false;
    }
  }
  return true;
}());

// FoldName: ASCII letters to upper case, everything else as it is: how the control matches names.
constexpr char FoldName(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// FindMember: the row of the member called `name` as the control matches names (ASCII letters
// without regard to case, nothing else folded); null for a name the control lacks.
constexpr const Member* FindMember(std::string_view name) {
  for (const Member& row : kMembers) {
    if (row.name.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      same = FoldName(row.name[i]) == FoldName(name[i]);
    }
    if (same) return &row;
  }
  return nullptr;
}

// DispidOf: the DISPID of the member spelled exactly `name`; a name the table lacks does not
// compile.
consteval int DispidOf(std::string_view name) {
  for (const Member& row : kMembers) {
    if (row.name == name) return row.id;
  }
  throw "no such member";
}

// ResultFormName: the form's name in JSON and in web/.
constexpr std::string_view ResultFormName(ResultForm form) {
  switch (form) {
    case ResultForm::kReport:
      return "text";
    case ResultForm::kTypedA:
      return "A";
    case ResultForm::kTypedF:
      return "F";
    case ResultForm::kTypedL:
      return "L";
    case ResultForm::kDone:
      return "A:0000";
    case ResultForm::kBase64:
      return "Base64";
  }
  return "";
}

}  // namespace velmor::control
