// What a host tells the user about a request before it is carried out, looked up by the host
// itself rather than taken from the page: a certificate as the user's store names it, and a
// file's full path, size and SHA-256. The browser extension asks for these to fill its consent
// window; nothing here touches a control or a private key.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace velmor::host {

// AnswerLookup: fills `answer` and returns true when `op` is one of the lookup ops:
//   {"op":"certificate","serial":S,"stores":["MY"],"signer":true}
//       -> {"certificate":{"subject","issuer","serial","notAfter"}} or {"certificate":null};
//       "signer" keeps to the certificates a signature may use (the organisational-unit rule);
//   {"op":"certificate","der":BASE64} -> the same for a certificate the page supplied;
//   {"op":"file","path":P,"digest":true}
//       -> {"file":{"path","fullPath","exists","regular","size","sha256"}}.
// Returns false for any other op. Throws std::invalid_argument for a malformed lookup.
bool AnswerLookup(const std::string& op, const nlohmann::ordered_json& request,
                  nlohmann::ordered_json& answer);

}  // namespace velmor::host
