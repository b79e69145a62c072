// velmor's layer in place of the Windows CryptoAPI (ADVAPI32 and CRYPT32).
//
// The same function names, constants, structures, flags and last-error values as the Windows
// SDK, so that the code above reads as it would on Windows. Behind them: OpenSSL 3 in a library
// context of our own (default and legacy providers), and one SQLite database per user for the
// five system stores ("MY", "CA", "Root", "Trust", "TrustedPublisher") and the key containers.
//
// Every function reports failure as FALSE, null or 0 with the reason in GetLastError().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/com.h"

// ---- Handles and basic types ------------------------------------------------------------------
using ALG_ID = unsigned int;
using HCRYPTPROV = ULONG_PTR;
using HCRYPTPROV_LEGACY = ULONG_PTR;
using HCRYPTKEY = ULONG_PTR;
using HCRYPTHASH = ULONG_PTR;
using HCERTSTORE = void*;

struct CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
};
using CRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DATA_BLOB = CRYPTOAPI_BLOB;
using CRYPT_OBJID_BLOB = CRYPTOAPI_BLOB;
using CERT_NAME_BLOB = CRYPTOAPI_BLOB;
using PCERT_NAME_BLOB = CERT_NAME_BLOB*;

struct CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
};

struct CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
};

struct CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
};
using PCERT_PUBLIC_KEY_INFO = CERT_PUBLIC_KEY_INFO*;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;
};
using PCERT_EXTENSION = CERT_EXTENSION*;

// CERT_INFO: the decoded certificate. SerialNumber is least significant byte first, as
// CryptoAPI keeps it; Subject and Issuer are the DER names.
struct CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
};
using PCERT_INFO = CERT_INFO*;

struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
};
using PCERT_CONTEXT = CERT_CONTEXT*;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CRL_CONTEXT;
using PCCRL_CONTEXT = const CRL_CONTEXT*;

struct CRYPT_KEY_PROV_PARAM {
  DWORD dwParam;
  BYTE* pbData;
  DWORD cbData;
  DWORD dwFlags;
};
using PCRYPT_KEY_PROV_PARAM = CRYPT_KEY_PROV_PARAM*;

// CRYPT_KEY_PROV_INFO: where a certificate's private key lives. The names are UTF-16 and point
// into the same buffer as the record when read with CertGetCertificateContextProperty.
struct CRYPT_KEY_PROV_INFO {
  LPWSTR pwszContainerName;
  LPWSTR pwszProvName;
  DWORD dwProvType;
  DWORD dwFlags;
  DWORD cProvParam;
  PCRYPT_KEY_PROV_PARAM rgProvParam;
  DWORD dwKeySpec;
};
using PCRYPT_KEY_PROV_INFO = CRYPT_KEY_PROV_INFO*;

struct CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  CRYPTOAPI_BLOB* rgValue;
};
using PCRYPT_ATTRIBUTE = CRYPT_ATTRIBUTE*;

struct CRYPT_SIGN_MESSAGE_PARA {
  DWORD cbSize;
  DWORD dwMsgEncodingType;
  PCCERT_CONTEXT pSigningCert;
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  void* pvHashAuxInfo;
  DWORD cMsgCert;
  PCCERT_CONTEXT* rgpMsgCert;
  DWORD cMsgCrl;
  PCCRL_CONTEXT* rgpMsgCrl;
  DWORD cAuthAttr;
  PCRYPT_ATTRIBUTE rgAuthAttr;
  DWORD cUnauthAttr;
  PCRYPT_ATTRIBUTE rgUnauthAttr;
  DWORD dwFlags;
  DWORD dwInnerContentType;
};
using PCRYPT_SIGN_MESSAGE_PARA = CRYPT_SIGN_MESSAGE_PARA*;

using PFN_CRYPT_GET_SIGNER_CERTIFICATE = PCCERT_CONTEXT (*)(void* pvGetArg,
                                                           DWORD dwCertEncodingType,
                                                           PCERT_INFO pSignerId,
                                                           HCERTSTORE hMsgCertStore);

struct CRYPT_VERIFY_MESSAGE_PARA {
  DWORD cbSize;
  DWORD dwMsgAndCertEncodingType;
  HCRYPTPROV_LEGACY hCryptProv;
  PFN_CRYPT_GET_SIGNER_CERTIFICATE pfnGetSignerCertificate;
  void* pvGetArg;
};
using PCRYPT_VERIFY_MESSAGE_PARA = CRYPT_VERIFY_MESSAGE_PARA*;

// Key blobs, laid out byte for byte as CryptoAPI lays them out (little-endian).
struct BLOBHEADER {
  BYTE bType;
  BYTE bVersion;
  WORD reserved;
  ALG_ID aiKeyAlg;
};
using PUBLICKEYSTRUC = BLOBHEADER;

struct RSAPUBKEY {
  DWORD magic;   // 0x31415352 "RSA1" for public keys, 0x32415352 "RSA2" for private keys
  DWORD bitlen;
  DWORD pubexp;
};

// ---- Constants --------------------------------------------------------------------------------
inline constexpr const char* MS_ENHANCED_PROV_A = "Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr DWORD PROV_RSA_FULL = 1;
// The provider of keys held on smart cards and USB tokens (PKCS #11 modules registered with
// p11-kit). Its containers are PKCS #11 URIs naming the module, the token and the key's CKA_ID.
inline constexpr const char* TOKEN_PROV_A = "PKCS #11 Token Provider";

inline constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000u;
inline constexpr DWORD CRYPT_NEWKEYSET = 0x8;
inline constexpr DWORD CRYPT_DELETEKEYSET = 0x10;
inline constexpr DWORD CRYPT_SILENT = 0x40;
// CryptAcquireCertificatePrivateKey: never ask the user (a token's PIN); NTE_SILENT_CONTEXT instead.
inline constexpr DWORD CRYPT_ACQUIRE_SILENT_FLAG = 0x40;

inline constexpr DWORD AT_KEYEXCHANGE = 1;
inline constexpr DWORD AT_SIGNATURE = 2;

inline constexpr ALG_ID CALG_MD5 = 0x8003;
inline constexpr ALG_ID CALG_SHA1 = 0x8004;
inline constexpr ALG_ID CALG_RC4 = 0x6801;
inline constexpr ALG_ID CALG_RSA_SIGN = 0x2400;
inline constexpr ALG_ID CALG_RSA_KEYX = 0xA400;

inline constexpr DWORD CRYPT_EXPORTABLE = 0x1;
inline constexpr DWORD CRYPT_NO_SALT = 0x10;

inline constexpr DWORD SIMPLEBLOB = 0x1;
inline constexpr DWORD PUBLICKEYBLOB = 0x6;
inline constexpr DWORD PRIVATEKEYBLOB = 0x7;
inline constexpr BYTE CUR_BLOB_VERSION = 2;

inline constexpr DWORD X509_ASN_ENCODING = 0x1;
inline constexpr DWORD PKCS_7_ASN_ENCODING = 0x10000;

inline constexpr DWORD CERT_SIMPLE_NAME_STR = 1;
inline constexpr DWORD CERT_OID_NAME_STR = 2;
inline constexpr DWORD CERT_X500_NAME_STR = 3;

inline constexpr DWORD CERT_KEY_PROV_INFO_PROP_ID = 2;
inline constexpr DWORD CERT_SHA256_HASH_PROP_ID = 107;

inline constexpr const char* szOID_RSA_MD5 = "1.2.840.113549.2.5";
inline constexpr const char* szOID_RSA_RSA = "1.2.840.113549.1.1.1";

// CertOpenStore's provider argument is an integer in disguise, as on Windows.
inline const LPCSTR CERT_STORE_PROV_MEMORY = reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(2));
inline const LPCSTR CERT_STORE_PROV_SYSTEM_W = reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(10));
inline constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x00010000;
inline constexpr DWORD CERT_STORE_NO_CRYPT_RELEASE_FLAG = 0x1;
inline constexpr DWORD CERT_STORE_READONLY_FLAG = 0x8000;
inline constexpr DWORD CERT_CLOSE_STORE_FORCE_FLAG = 0x1;
inline constexpr DWORD CERT_CLOSE_STORE_CHECK_FLAG = 0x2;

inline constexpr DWORD CERT_STORE_ADD_NEW = 1;
inline constexpr DWORD CERT_STORE_ADD_USE_EXISTING = 2;
inline constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING = 3;
inline constexpr DWORD CERT_STORE_ADD_ALWAYS = 4;

inline constexpr DWORD CERT_STORE_SIGNATURE_FLAG = 0x1;
inline constexpr DWORD CERT_STORE_TIME_VALIDITY_FLAG = 0x2;

// ---- Last-error values ------------------------------------------------------------------------
inline constexpr DWORD NTE_BAD_UID = 0x80090001u;
inline constexpr DWORD NTE_BAD_HASH = 0x80090002u;
inline constexpr DWORD NTE_BAD_KEY = 0x80090003u;
inline constexpr DWORD NTE_BAD_LEN = 0x80090004u;
inline constexpr DWORD NTE_BAD_DATA = 0x80090005u;
inline constexpr DWORD NTE_BAD_SIGNATURE = 0x80090006u;
inline constexpr DWORD NTE_BAD_VER = 0x80090007u;
inline constexpr DWORD NTE_BAD_ALGID = 0x80090008u;
inline constexpr DWORD NTE_BAD_FLAGS = 0x80090009u;
inline constexpr DWORD NTE_BAD_TYPE = 0x8009000Au;
inline constexpr DWORD NTE_BAD_KEY_STATE = 0x8009000Bu;
inline constexpr DWORD NTE_BAD_HASH_STATE = 0x8009000Cu;
inline constexpr DWORD NTE_NO_KEY = 0x8009000Du;
inline constexpr DWORD NTE_NO_MEMORY = 0x8009000Eu;
inline constexpr DWORD NTE_EXISTS = 0x8009000Fu;
inline constexpr DWORD NTE_PERM = 0x80090010u;
inline constexpr DWORD NTE_NOT_FOUND = 0x80090011u;
inline constexpr DWORD NTE_BAD_PROV_TYPE = 0x80090014u;
inline constexpr DWORD NTE_BAD_KEYSET = 0x80090016u;
inline constexpr DWORD NTE_PROV_TYPE_NOT_DEF = 0x80090017u;
inline constexpr DWORD NTE_KEYSET_NOT_DEF = 0x80090019u;
inline constexpr DWORD NTE_FAIL = 0x80090020u;
inline constexpr DWORD CRYPT_E_MSG_ERROR = 0x80091001u;
inline constexpr DWORD CRYPT_E_UNKNOWN_ALGO = 0x80091002u;
inline constexpr DWORD CRYPT_E_INVALID_MSG_TYPE = 0x80091004u;
inline constexpr DWORD CRYPT_E_HASH_VALUE = 0x80091007u;
inline constexpr DWORD CRYPT_E_SIGNER_NOT_FOUND = 0x8009100Eu;
inline constexpr DWORD CRYPT_E_NO_SIGNER = 0x8009200Eu;
inline constexpr DWORD CRYPT_E_UNEXPECTED_MSG_TYPE = 0x8009200Au;
inline constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004u;
inline constexpr DWORD CRYPT_E_EXISTS = 0x80092005u;
inline constexpr DWORD CRYPT_E_NO_KEY_PROPERTY = 0x8009200Bu;
inline constexpr DWORD CRYPT_E_PENDING_CLOSE = 0x8009200Fu;
inline constexpr DWORD CRYPT_E_ASN1_ERROR = 0x80093100u;
inline constexpr DWORD CRYPT_E_ASN1_EOD = 0x80093102u;
inline constexpr DWORD CRYPT_E_ASN1_CORRUPT = 0x80093103u;
inline constexpr DWORD CRYPT_E_ASN1_BADTAG = 0x8009310Bu;
inline constexpr DWORD E_ACCESSDENIED_DW = 0x80070005u;
inline constexpr DWORD NTE_SILENT_CONTEXT = 0x80090022u;
// Smart-card outcomes a token's provider reports.
inline constexpr DWORD SCARD_E_NO_SMARTCARD = 0x8010000Cu;
inline constexpr DWORD SCARD_W_REMOVED_CARD = 0x80100069u;
inline constexpr DWORD SCARD_W_WRONG_CHV = 0x8010006Bu;
inline constexpr DWORD SCARD_W_CHV_BLOCKED = 0x8010006Cu;
inline constexpr DWORD SCARD_W_CANCELLED_BY_USER = 0x8010006Eu;

// ---- Provider contexts ------------------------------------------------------------------------
// CryptAcquireContextA: a null or empty container name means the default container, named after
// the login user. The context belongs to the caller (CryptReleaseContext).
BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags);
// PP_SIGNED_TEXT: a key context's parameter, given as it is acquired: the text the user is about
// to sign with its key (ANSI; pbData the text, cbData its length without a terminator). A token
// that asks for its PIN shows the start of it in the dialog; other contexts keep no use for it.
inline constexpr DWORD PP_SIGNED_TEXT = 0x8001;
// CryptAcquireContextParamsA: CryptAcquireContextA with `paramCount` parameters for the new
// context, in place before anything is asked of the user (a token's PIN dialog). A parameter
// that is not PP_SIGNED_TEXT is refused with NTE_BAD_TYPE. The parameters are copied; the
// context belongs to the caller. A failure injected into CryptAcquireContextA fails it too.
BOOL CryptAcquireContextParamsA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                                DWORD dwProvType, DWORD dwFlags,
                                const CRYPT_KEY_PROV_PARAM* params, DWORD paramCount);
BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);

// ---- Hashes and signatures --------------------------------------------------------------------
BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                     HCRYPTHASH* phHash);
BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
BOOL CryptDestroyHash(HCRYPTHASH hHash);
BOOL CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                    BYTE* pbSignature, DWORD* pdwSigLen);
BOOL CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                           HCRYPTKEY hPubKey, LPCSTR szDescription, DWORD dwFlags);

// ---- Keys -------------------------------------------------------------------------------------
BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                    DWORD dwFlags, HCRYPTKEY* phKey);
BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                    BYTE* pbData, DWORD* pdwDataLen);
BOOL CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType,
                              PCERT_PUBLIC_KEY_INFO pInfo, HCRYPTKEY* phKey);
// CryptEncrypt / CryptDecrypt (RC4): output as long as input; the key stream continues across
// calls and starts afresh after a call with Final = TRUE. CryptEncrypt fails with
// ERROR_MORE_DATA when *pdwDataLen exceeds dwBufLen.
BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen, DWORD dwBufLen);
BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen);
BOOL CryptDestroyKey(HCRYPTKEY hKey);
BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                       HCRYPTPROV* phCryptProv, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProv);

// ---- Stores and certificates ------------------------------------------------------------------
// CertOpenSystemStoreA / CertOpenStore: a provider handle passed in stays the caller's; it is
// never released with the store.
HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv, LPCSTR szSubsystemProtocol);
HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                         HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags, const void* pvPara);
// CertCloseStore: with CERT_CLOSE_STORE_CHECK_FLAG, returns FALSE with CRYPT_E_PENDING_CLOSE
// while contexts from the store are still held; the store is closed all the same and the
// contexts stay valid until freed.
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
// CertEnumCertificatesInStore: the certificates in the order they were added; frees the
// previous context passed in; null with CRYPT_E_NOT_FOUND at the end.
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext);
BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                      const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext);
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);
PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
// CertNameToStrA: the characters written, terminator included (the size needed when psz is null
// or csz is 0; the text is cut to fit csz). An undecodable name leaves an empty text, returns 1
// and sets a CRYPT_E_ASN1_* last error.
DWORD CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPSTR psz,
                     DWORD csz);
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                       DWORD* pcbData);
BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                       DWORD dwFlags, const void* pvData);
BOOL CertVerifySubjectCertificateContext(PCCERT_CONTEXT pSubject, PCCERT_CONTEXT pIssuer,
                                         DWORD* pdwFlags);

// ---- Messages ---------------------------------------------------------------------------------
BOOL CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA pSignPara, BOOL fDetachedSignature,
                      DWORD cToBeSigned, const BYTE* rgpbToBeSigned[], DWORD rgcbToBeSigned[],
                      BYTE* pbSignedBlob, DWORD* pcbSignedBlob);
BOOL CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                 const BYTE* pbSignedBlob, DWORD cbSignedBlob, BYTE* pbDecoded,
                                 DWORD* pcbDecoded, PCCERT_CONTEXT* ppSignerCert);

// ---- velmor's own additions -------------------------------------------------------------------
namespace velmor::crypt {


// ---- For administration and tests --------------------------------------------------------
// UseInMemoryStorage: keeps the stores and containers of this process in memory (tests only);
// false goes back to the user's database.
void UseInMemoryStorage(bool enable);
// LastFailedCall: the OpenSSL or SQLite call that failed last on this thread, with its reason
// (empty when none did). Borrowed; valid until the next failure on this thread.
const char* LastFailedCall();

// DropCaches: forgets the parsed certificates and loaded keys this process keeps between calls
// (they are otherwise reused while the database's generation counter stands still).
void DropCaches();

// DefaultContainer: the name of the user's default key container (the login name).
std::string DefaultContainer();

// SerialHex: the certificate's serial number as two lower-case digits a byte, most significant
// byte first, every byte of the encoding kept (a leading zero byte too). Empty for a null
// certificate. Pages, the hosts and the administration name certificates by this text,
// compared exactly.
std::string SerialHex(PCCERT_CONTEXT cert);
std::string SerialHex(const CERT_INFO& info);
// SerialHexIs: whether SerialHex(cert) == hex, without making the text (a store walk asks it of
// every certificate). False for a null certificate.
bool SerialHexIs(PCCERT_CONTEXT cert, std::string_view hex);
bool SerialHexIs(const CERT_INFO& info, std::string_view hex);

// FindCertificateBySerialHex: the next certificate after `prev` (from the first when null) whose
// SerialHex is `hex`, in the order CertEnumCertificatesInStore walks, which it follows in all
// else (it releases `prev`; null with CRYPT_E_NOT_FOUND past the last); free the result with
// CertFreeCertificateContext. Only the certificate found is made a context, so a search by
// serial costs little more than the store's open.
PCCERT_CONTEXT FindCertificateBySerialHex(HCERTSTORE store, std::string_view hex,
                                          PCCERT_CONTEXT prev);

// StoreTransaction: makes every change this process makes to the user's stores and key
// containers while it is open (CryptAcquireContextA with CRYPT_NEWKEYSET or
// CRYPT_DELETEKEYSET, CryptImportKey, CryptGenKey, CertAddEncodedCertificateToStore,
// CertSetCertificateContextProperty, CertDeleteCertificateFromStore) one transaction: later
// calls of this process see them, no other process does before Commit, and a process that ends
// before Commit (killed, crashed) leaves none of them. Destroyed without a successful Commit,
// it undoes them all. While it is open it holds the database's write lock: other processes'
// writes wait for it, their reads do not.
class StoreTransaction {
 public:
  StoreTransaction() = default;
  ~StoreTransaction();
  StoreTransaction(const StoreTransaction&) = delete;
  StoreTransaction& operator=(const StoreTransaction&) = delete;
  // Begin: false with the last error when the database cannot be opened or locked, or when
  // this process has a transaction open already (ERROR_BUSY, 170).
  bool Begin();
  // Commit: false with the last error when the changes could not be made durable; they are
  // undone then.
  bool Commit();

 private:
  bool open_ = false;
};

inline constexpr DWORD ERROR_INVALID_PASSWORD_DW = 86;

// Private keys at rest are sealed (AES-256-GCM, bound to their container and key spec) under a
// per-user master key. KeyStorage: where that master key is kept.
//   kKeyring: the desktop's Secret Service (GNOME Keyring, KWallet, KeePassXC) over D-Bus;
//   kFile:    master.key beside the database, owner-only;
//   kAuto:    the place the database recorded when its first key was sealed; for a database
//             without one, the Secret Service when one answers on the session bus, else the
//             file (said once on standard error).
// A store whose master key is missing or wrong answers every call that needs a private key
// with NTE_BAD_KEYSET, and no key is written.
enum class KeyStorage { kAuto, kKeyring, kFile };
// SetKeyStorage: the choice for this process (the default is kAuto, or what the environment
// variable VELMOR_KEY_STORAGE says: "keyring" or "file").
void SetKeyStorage(KeyStorage storage);

struct KeyStorageInfo {
  std::string place;      // "keyring", "file", or empty while no key has been sealed
  std::string where;      // the file's path, or the Secret Service item's label
  bool fellBack = false;  // the file was chosen because no Secret Service answered
  bool sealed = false;    // the database's keys are sealed (false: none yet, or not migrated)
};
// DescribeKeyStorage: how the current user's database keeps its master key.
bool DescribeKeyStorage(KeyStorageInfo& out);

// ReadPkcs12: the contents of a PKCS #12 file, storing nothing. `*certs` receives a new memory
// store (the caller's: CertCloseStore) holding the certificate of the private key first, then
// the file's other certificates in file order; `*key` a handle (the caller's: CryptDestroyKey)
// on the private key, in no container, exportable as a PRIVATEKEYBLOB. An empty password is
// tried both as "" and as none. ERROR_INVALID_PASSWORD_DW for a wrong password,
// CRYPT_E_ASN1_* or NTE_BAD_DATA for unreadable data, NTE_NO_KEY / CRYPT_E_NOT_FOUND for a
// file without a key / a certificate, NTE_BAD_KEY for one whose certificates are none of them
// the key's, NTE_BAD_ALGID for a key that is not RSA.
BOOL ReadPkcs12(const BYTE* pbPfx, DWORD cbPfx, const char* password, HCERTSTORE* certs,
                HCRYPTKEY* key);
// StorePrivateKey: stores the private key behind `hKey` (a key of ReadPkcs12) in the container
// of `hProv` as `dwKeySpec`, exportable when `dwFlags` is CRYPT_EXPORTABLE; `*phKey` receives
// a handle on the stored key (the caller's: CryptDestroyKey). Unlike a PRIVATEKEYBLOB, this
// carries every RSA key, whatever its size parity or the balance of its primes. NTE_BAD_KEY
// for a handle that is no exportable private key, NTE_BAD_DATA for an inconsistent key.
BOOL StorePrivateKey(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwKeySpec, DWORD dwFlags,
                     HCRYPTKEY* phKey);
// ReadCertificates: the DER certificates of a file in DER or PEM (one or more CERTIFICATE
// blocks; other blocks are passed over), each checked to decode. CRYPT_E_NOT_FOUND for a PEM
// text without a certificate, CRYPT_E_ASN1_* for one that does not decode.
BOOL ReadCertificates(const BYTE* pbData, DWORD cbData, std::vector<std::vector<BYTE>>& out);
// ExportPkcs12: a PKCS #12 file (AES-256-CBC, PBKDF2, an HMAC-SHA-256 MAC) of a certificate
// and the private key its key-provider property names, under `password`, which must not be
// empty (ERROR_INVALID_PASSWORD_DW). The only way a private key leaves its container.
// CRYPT_E_NO_KEY_PROPERTY without the property, NTE_BAD_KEYSET / NTE_NO_KEY without the key.
BOOL ExportPkcs12(PCCERT_CONTEXT pCertContext, const char* password, std::vector<BYTE>& pfx);
// KeyMatchesPublicKey: FALSE when the container of `hProv` holds a `dwKeySpec` key whose public
// half is not `pInfo`'s (a damaged or edited store); TRUE otherwise, also when there is no such
// key or the two cannot be compared. The answer is kept with the loaded key until the key is
// read again (the store changed), so asking before every signature costs nothing more.
BOOL KeyMatchesPublicKey(HCRYPTPROV hProv, DWORD dwKeySpec, const CERT_PUBLIC_KEY_INFO* pInfo);
// CertificatePem: the PEM text of a certificate context.
BOOL CertificatePem(PCCERT_CONTEXT pCertContext, std::string& pem);

// ---- Tokens (used by `velmor tokens`) -----------------------------------------------------------
// TokenKeyPlace: where a token certificate's private key is, as far as the token shows without
// the PIN. kAfterLogin: the token wants a login and shows no private key before it; the
// certificate is offered in "MY", and logging in tells whether its key is there.
enum class TokenKeyPlace { kNone, kOnToken, kAfterLogin };
struct TokenCertificateEntry {
  std::string serialHex;  // as pages name certificates
  std::string subject;
  TokenKeyPlace key = TokenKeyPlace::kNone;
  std::string container;  // the container naming that key (empty when kNone)
};
struct TokenEntry {
  std::string label, manufacturer, model, serial;
  bool loginRequired = false;
  bool protectedAuthenticationPath = false;  // a PIN pad: no PIN dialog
  bool pinLocked = false, pinFinalTry = false, pinCountLow = false;
  std::vector<TokenCertificateEntry> certificates;
};
struct SlotEntry {
  unsigned long id = 0;
  std::string description, manufacturer;
  bool removable = false, hardware = false;
  bool tokenPresent = false;
  std::optional<TokenEntry> token;  // absent without a (readable) token
  DWORD tokenError = 0;             // why a present token could not be read
};
struct TokenModuleEntry {
  std::string name, library, description, manufacturer;
  // False for a module of trust anchors (`trust-policy: yes` in p11-kit's registry), which is
  // never initialised: it has no slots here and nothing of it is in "MY".
  bool holdsKeys = true;
  std::vector<SlotEntry> slots;
};
// ListTokens: every PKCS #11 module in p11-kit's registry (first those that hold no keys), the
// slots of the others, their tokens and the certificates on them, read without logging in. False with the last error when p11-kit cannot
// load its registry; a module or token that cannot be read is listed with what could be read.
bool ListTokens(std::vector<TokenModuleEntry>& out);

// PinDialogProgram: the PIN dialog program a token login would run (VELMOR_PINENTRY, else
// "pinentry" on PATH), resolved to a path; empty when none is found.
std::string PinDialogProgram();

}  // namespace velmor::crypt
