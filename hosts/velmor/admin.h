// What `velmor certs` does to the user's stores and key containers: which store a certificate
// goes to, how key containers are named, what counts as a duplicate, and that removing the last
// certificate of a key removes the key. Everything goes through the platform's CryptoAPI calls;
// each function's writes are one StoreTransaction, so that it takes whole or not at all, even
// when the process is killed halfway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/crypt/crypt.h"

namespace velmor::admin {

// ImportKeyAndCertificate: puts the private key (a PRIVATEKEYBLOB) into the new key container
// `container` as `keySpec`, and the certificate into `store` with the key-provider property
// naming that container, the enhanced provider, PROV_RSA_FULL and `keySpec`. The `chain`
// certificates go to "CA" unless it holds them already. Fails with NTE_EXISTS when the
// container exists, NTE_BAD_KEY when the key is not the certificate's, CRYPT_E_ASN1_* or
// NTE_BAD_DATA for unreadable input, ERROR_FILE_NOT_FOUND for an unknown store.
bool ImportKeyAndCertificate(const std::string& store, const std::vector<std::uint8_t>& certDer,
                             const std::uint8_t* privateKeyBlob, std::size_t blobLen,
                             DWORD keySpec, const std::string& container,
                             const std::vector<std::vector<std::uint8_t>>& chain = {});

struct Pkcs12Import {
  std::string container;       // the new key container
  std::string serialHex;       // of the certificate that went into MY
  std::string subject;         // its subject text
  std::size_t chainCount = 0;  // certificates of the file that went to CA (or were there)
};
// ImportPkcs12: imports a PKCS #12 file: the key into a new container (named after the
// certificate's serial number and the start of its SHA-256, or `container` when given), the
// certificate into "MY" with its key-provider property, the other certificates into "CA". A
// wrong password gives ERROR_INVALID_PASSWORD_DW; unreadable data CRYPT_E_ASN1_CORRUPT or
// NTE_BAD_DATA; a file imported before NTE_EXISTS.
bool ImportPkcs12(const std::vector<std::uint8_t>& pfx, const char* password,
                  DWORD keySpec, const std::string& container, Pkcs12Import* result);

// ContainerNameFor: the container ImportPkcs12 makes for a certificate: "velmor-", its serial
// number, "-", the first four bytes of its SHA-256 in hexadecimal. Empty on failure.
std::string ContainerNameFor(PCCERT_CONTEXT cert);

// AddCertificates: adds every certificate of `data` (DER, or PEM with one or more
// certificates) to the system store `store`, except those the store already holds byte for
// byte; `added` receives the count added, `present` the count already there.
bool AddCertificates(const std::string& store, const std::vector<std::uint8_t>& data,
                     std::size_t* added, std::size_t* present = nullptr);

struct CertificateEntry {
  std::string serialHex;   // lower case, most significant byte first, every encoded byte
  std::string subject;     // as CertNameToStrA writes it
  std::int64_t notBefore = 0;  // seconds since 1970, UTC
  std::int64_t notAfter = 0;
  bool hasKey = false;     // the key-provider property is set and its container holds the key
  DWORD keyError = 0;      // why the key named by the property cannot be had (0: it can)
  std::string container;   // the property's container name, when set
  std::vector<std::uint8_t> der;
};
// ListCertificates: the certificates of a system store in enumeration order.
bool ListCertificates(const std::string& store, std::vector<CertificateEntry>& out);
// RemoveCertificates: removes every certificate of `store` whose serial text is `serialHex`,
// and the key containers that no certificate of any store names any more; `removed` receives
// the count (0: CRYPT_E_NOT_FOUND).
bool RemoveCertificates(const std::string& store, const std::string& serialHex,
                        std::size_t* removed);
// ExportCertificatePem: the PEM text of the first certificate of `store` with that serial.
bool ExportCertificatePem(const std::string& store, const std::string& serialHex,
                          std::string& pem);

// ExportKey: a PKCS #12 file under `password` (not empty) of the first certificate of `store`
// with that serial and its private key, for moving the key to another machine.
// CRYPT_E_NOT_FOUND without such a certificate, CRYPT_E_NO_KEY_PROPERTY / NTE_BAD_KEYSET /
// NTE_NO_KEY when it has no key that can be had.
bool ExportKey(const std::string& store, const std::string& serialHex, const char* password,
               std::vector<std::uint8_t>& pfx);

}  // namespace velmor::admin
