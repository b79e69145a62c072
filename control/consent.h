// The consent column of the control's dispatch table: for each of its members, whether it is a
// property or a method, how many arguments a call takes, and what reading the property or
// calling the method does with the user's keys, certificates and files. A host asks the user
// before a request that does any of it; writing a property only stores an input and never does.
//
// It stands beside the dispatch table of control.cpp (the same order, names and identifiers) so
// that a host can read it without loading the module: the browser host refuses what it has no
// row for, and `velmor typelib --json` prints it beside the type library for the browser
// extension's own copy to be checked against.
#pragma once

#include <cstddef>
#include <string_view>

namespace velmor::control {

// What a read or a call needs the user's consent for; a member may need several.
enum Consent : unsigned {
  kConsentNone = 0,
  kConsentSign = 1u << 0,              // makes a signature with the user's private key
  kConsentDecrypt = 1u << 1,           // opens an envelope with the user's private key
  kConsentFileOutput = 1u << 2,        // writes a file beside the one it is given
  kConsentReadCertificates = 1u << 3,  // hands the page the user's own certificates
};

// The names the consent flags go by in JSON, in flag order.
inline constexpr std::string_view kConsentNames[] = {"sign", "decrypt", "file-output",
                                                     "read-certificates"};

struct MemberConsent {
  std::string_view name;  // as the type library spells it; matched without regard to ASCII case
  int id;                 // DISPID
  bool property;          // get and put; a method is only called
  unsigned params;        // a method's argument count
  unsigned consent;       // Consent flags of a get (property) or a call (method)
};

inline constexpr MemberConsent kMemberConsent[] = {
    {"Copyright", 1, true, 0, kConsentNone},
    {"SignData", 2, true, 0, kConsentSign},
    {"CN", 3, true, 0, kConsentNone},
    {"SignFile", 4, true, 0, kConsentSign},
    {"Signature", 5, true, 0, kConsentSign},
    {"EncryptCN", 6, true, 0, kConsentNone},
    {"DecryptCN", 7, true, 0, kConsentNone},
    {"IssuerCN", 8, true, 0, kConsentNone},
    {"PKCS7Data", 9, false, 0, kConsentSign},
    {"SignCert", 10, false, 0, kConsentReadCertificates},
    {"Encrypt", 11, false, 1, kConsentNone},
    {"VerifyPKCS7", 12, false, 1, kConsentNone},
    {"Decrypt", 13, false, 1, kConsentDecrypt},
    {"EncryptFile", 14, false, 1, kConsentFileOutput},
    {"DecryptFile", 15, false, 1, kConsentDecrypt | kConsentFileOutput},
    {"VerifySignature", 16, false, 3, kConsentNone},
    {"getProviderName", 17, false, 0, kConsentNone},
    {"getCertList", 18, false, 0, kConsentReadCertificates},
};

// FindMemberConsent: the row of the member called `name` as the control matches names (ASCII
// letters without regard to case, nothing else folded); null for a name the control lacks.
constexpr const MemberConsent* FindMemberConsent(std::string_view name) {
  const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  for (const MemberConsent& row : kMemberConsent) {
    if (row.name.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) same = fold(row.name[i]) == fold(name[i]);
    if (same) return &row;
  }
  return nullptr;
}

}  // namespace velmor::control
