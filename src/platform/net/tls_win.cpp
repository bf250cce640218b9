// TLS with SChannel over the plain connection's deadlines. The server's
// certificate is checked here rather than by SChannel: the chain must end
// in the machine's trusted roots (or in the CA of the file the settings
// name) and the certificate must carry the server's name or address.
#include "platform/win/win_support.h"

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

#include <array>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "platform/net/tls.h"

namespace warderon {
namespace {

using win::Widen;

constexpr DWORD kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                           ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                           ISC_REQ_EXTENDED_ERROR | ISC_REQ_MANUAL_CRED_VALIDATION;

struct TCertificateFree {
  void operator()(const CERT_CONTEXT* certificate) const {
    CertFreeCertificateContext(certificate);
  }
};
struct TChainFree {
  void operator()(const CERT_CHAIN_CONTEXT* chain) const { CertFreeCertificateChain(chain); }
};
struct TStoreClose {
  void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};

std::string Hex(long code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

// The certificates of a PEM file.
std::vector<std::unique_ptr<const CERT_CONTEXT, TCertificateFree>> ReadPem(
    const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(file)), {});
  std::vector<std::unique_ptr<const CERT_CONTEXT, TCertificateFree>> certificates;
  const std::string begin = "-----BEGIN CERTIFICATE-----";
  const std::string end = "-----END CERTIFICATE-----";
  for (std::size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at + 1)) {
    const std::size_t stop = text.find(end, at);
    if (stop == std::string::npos) break;
    const std::string block = text.substr(at, stop + end.size() - at);
    DWORD size = 0;
    if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                             CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                             nullptr) == FALSE) {
      continue;
    }
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                         der.data(), &size, nullptr, nullptr);
    const CERT_CONTEXT* certificate =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
    if (certificate != nullptr) certificates.emplace_back(certificate);
  }
  return certificates;
}

// The four bytes of a dotted IPv4 address, or nothing for a host name.
std::optional<std::array<BYTE, 4>> Ipv4Bytes(const std::string& text) {
  std::array<BYTE, 4> bytes{};
  int parts = 0;
  unsigned value = 0;
  int digits = 0;
  for (const char c : text + ".") {
    if (c >= '0' && c <= '9' && digits < 3) {
      value = value * 10 + static_cast<unsigned>(c - '0');
      ++digits;
    } else if (c == '.' && digits > 0 && value < 256 && parts < 4) {
      bytes[static_cast<std::size_t>(parts++)] = static_cast<BYTE>(value);
      value = 0;
      digits = 0;
    } else {
      return std::nullopt;
    }
  }
  if (parts != 4) return std::nullopt;
  return bytes;
}

// Whether the certificate lists the address among its alternative names.
bool CertificateNamesAddress(const CERT_CONTEXT* certificate, const std::array<BYTE, 4>& address) {
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                        certificate->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                          extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                          &size) == FALSE) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
            std::equal(address.begin(), address.end(), entry.IPAddress.pbData);
  }
  LocalFree(names);
  return found;
}

class TSchannelConnection final : public TTcpConnection {
 public:
  TSchannelConnection(std::unique_ptr<TTcpConnection> plain, TTlsClientOptions options)
      : plain_(std::move(plain)), options_(std::move(options)) {}

  ~TSchannelConnection() override {
    if (have_context_) DeleteSecurityContext(&context_);
    if (have_credentials_) FreeCredentialsHandle(&credentials_);
  }

  void Handshake(TDeadline deadline) {
    SCHANNEL_CRED settings{};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    PCCERT_CONTEXT offered = nullptr;
    if (!options_.cert_file.empty()) {
      offered = LoadClientCertificate();
      settings.cCreds = 1;
      settings.paCred = &offered;
    }
    SECURITY_STATUS status =
        AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &settings, nullptr, nullptr, &credentials_, nullptr);
    if (status != SEC_E_OK) Fail("set up TLS", status);
    have_credentials_ = true;
    std::wstring target = Widen(options_.server_name);
    bool first = true;
    for (;;) {
      SecBuffer in[2] = {
          {static_cast<unsigned long>(incoming_.size()), SECBUFFER_TOKEN, incoming_.data()},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc in_description{SECBUFFER_VERSION, 2, in};
      SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc out_description{SECBUFFER_VERSION, 1, out};
      unsigned long granted = 0;
      status = InitializeSecurityContextW(&credentials_, first ? nullptr : &context_, target.data(),
                                          kRequest, 0, 0, first ? nullptr : &in_description, 0,
                                          first ? &context_ : nullptr, &out_description, &granted,
                                          nullptr);
      if (first) have_context_ = true;
      first = false;
      if (out[0].cbBuffer > 0 && out[0].pvBuffer != nullptr) {
        const std::string token(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
        FreeContextBuffer(out[0].pvBuffer);
        plain_->SendAll(token, deadline);
      }
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        ReadMore(deadline, "TLS handshake");
        continue;
      }
      if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
        Fail("complete the TLS handshake", status);
      KeepExtra(in[1]);
      if (status == SEC_E_OK) break;
      if (incoming_.empty()) ReadMore(deadline, "TLS handshake");
    }
    status = QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (status != SEC_E_OK) Fail("set up TLS", status);
    CheckCertificate();
  }

  void SendAll(std::string_view data, TDeadline deadline) override {
    while (!data.empty()) {
      const std::size_t chunk = std::min<std::size_t>(data.size(), sizes_.cbMaximumMessage);
      std::string record(sizes_.cbHeader + chunk + sizes_.cbTrailer, '\0');
      std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(chunk),
                record.begin() + sizes_.cbHeader);
      SecBuffer buffers[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
          {static_cast<unsigned long>(chunk), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + chunk},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = EncryptMessage(&context_, 0, &description, 0);
      if (status != SEC_E_OK) Fail("encrypt", status);
      record.resize(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      plain_->SendAll(record, deadline);
      data.remove_prefix(chunk);
    }
  }

  // Records already received count as well: a collector's answers come as
  // many small records, and one read of the socket often brings many. A
  // record that cannot be decrypted is a broken connection.
  bool ClosedOrSpoken() override {
    try {
      DecryptWhole();
    } catch (const TSocketError&) {
      return true;
    }
    return closed_ || !plaintext_.empty() || plain_->ClosedOrSpoken();
  }

  std::size_t Receive(char* buffer, std::size_t size, TDeadline deadline) override {
    while (plaintext_.empty()) {
      if (closed_) return 0;
      if ((incoming_.empty() || !DecryptRecord()) && !closed_ &&
          !ReadMore(deadline, "TLS receive")) {
        return 0;
      }
    }
    DecryptWhole();  // whatever else is whole comes along
    const std::size_t taken = std::min(size, plaintext_.size());
    std::copy(plaintext_.begin(), plaintext_.begin() + static_cast<std::ptrdiff_t>(taken), buffer);
    plaintext_.erase(0, taken);
    return taken;
  }

 private:
  // Decrypts the first record of what was received into plaintext_; false
  // when it is not whole yet, or the server ended the session.
  bool DecryptRecord() {
    SecBuffer buffers[4] = {
        {static_cast<unsigned long>(incoming_.size()), SECBUFFER_DATA, incoming_.data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&context_, &description, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return false;
    if (status == SEC_I_CONTEXT_EXPIRED) {
      closed_ = true;
      return false;
    }
    if (status != SEC_E_OK) Fail("decrypt", status);
    std::string extra;
    for (const SecBuffer& part : buffers) {
      if (part.BufferType == SECBUFFER_DATA && part.cbBuffer > 0) {
        plaintext_.append(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
      }
      if (part.BufferType == SECBUFFER_EXTRA && part.cbBuffer > 0) {
        extra.assign(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
      }
    }
    incoming_ = std::move(extra);
    return true;
  }

  // Every whole record received so far, without waiting for more.
  void DecryptWhole() {
    while (!closed_ && !incoming_.empty() && DecryptRecord()) {
    }
  }

  [[noreturn]] void Fail(const std::string& what, SECURITY_STATUS status) const {
    throw TSocketError("TLS with " + options_.server_name + ": cannot " + what + " (" +
                       win::SystemMessage(static_cast<DWORD>(status)) + ", " + Hex(status) + ")");
  }

  // Appends what the server sends next; false when it closed.
  bool ReadMore(TDeadline deadline, const char* what) {
    char chunk[16384];
    const std::size_t received = plain_->Receive(chunk, sizeof chunk, deadline);
    if (received == 0) {
      if (std::string(what) == "TLS handshake") {
        throw TSocketError("TLS with " + options_.server_name +
                           ": the server closed the connection during the TLS handshake");
      }
      closed_ = true;
      return false;
    }
    incoming_.append(chunk, received);
    return true;
  }

  void KeepExtra(const SecBuffer& extra) {
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0) {
      incoming_ = incoming_.substr(incoming_.size() - extra.cbBuffer);
    } else {
      incoming_.clear();
    }
  }

  // The chain must reach a trusted root (the machine's, or the CA file's
  // certificates) and the certificate must name the server.
  void CheckCertificate() {
    const CERT_CONTEXT* raw = nullptr;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &raw) != SEC_E_OK ||
        raw == nullptr) {
      throw TSocketError("TLS with " + options_.server_name + ": the server sent no certificate");
    }
    const std::unique_ptr<const CERT_CONTEXT, TCertificateFree> certificate(raw);
    std::unique_ptr<void, TStoreClose> extra_store;
    std::vector<std::unique_ptr<const CERT_CONTEXT, TCertificateFree>> site_roots;
    if (!options_.ca_file.empty()) {
      site_roots = ReadPem(options_.ca_file);
      if (site_roots.empty()) {
        throw TSocketError("TLS with " + options_.server_name + ": no certificate in the CA file " +
                           options_.ca_file);
      }
      extra_store.reset(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
      for (const auto& root : site_roots) {
        CertAddCertificateContextToStore(extra_store.get(), root.get(), CERT_STORE_ADD_ALWAYS,
                                         nullptr);
      }
    }
    CERT_CHAIN_PARA chain_settings{};
    chain_settings.cbSize = sizeof chain_settings;
    const CERT_CHAIN_CONTEXT* raw_chain = nullptr;
    if (CertGetCertificateChain(nullptr, certificate.get(), nullptr,
                                extra_store ? extra_store.get() : certificate->hCertStore,
                                &chain_settings, 0, nullptr, &raw_chain) == FALSE) {
      throw TSocketError("TLS with " + options_.server_name +
                         ": its certificate chain cannot be built");
    }
    const std::unique_ptr<const CERT_CHAIN_CONTEXT, TChainFree> chain(raw_chain);
    // The chain's own verdict counts too (some systems' policy check
    // overlooks an unknown root): only a site's CA may be no machine root.
    DWORD faults = CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_NOT_TIME_VALID |
                   CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_CYCLIC;
    if (options_.ca_file.empty()) faults |= CERT_TRUST_IS_UNTRUSTED_ROOT;
    if ((chain->TrustStatus.dwErrorStatus & faults) != 0) {
      throw TSocketError("TLS with " + options_.server_name + ": the certificate is not trusted (" +
                         Hex(static_cast<long>(chain->TrustStatus.dwErrorStatus)) +
                         (options_.ca_file.empty()
                              ? ": no trusted root; a site's own CA goes in the CA file setting"
                              : "") +
                         ")");
    }
    std::wstring name = Widen(options_.server_name);
    HTTPSPolicyCallbackData https{};
    https.cbStruct = sizeof https;
    https.dwAuthType = AUTHTYPE_SERVER;
    https.pwszServerName = name.data();
    // An address is matched against the certificate's address entries here:
    // the system's check knows host names.
    const auto address = Ipv4Bytes(options_.server_name);
    if (address) https.fdwChecks = 0x00001000;  // SECURITY_FLAG_IGNORE_CERT_CN_INVALID
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &https;
    // A site's own CA is no machine root: its chain is accepted when it
    // ends in a certificate of the CA file, checked below.
    if (!site_roots.empty()) policy.dwFlags = CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;
    CERT_CHAIN_POLICY_STATUS result{};
    result.cbSize = sizeof result;
    if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &result) ==
        FALSE) {
      throw TSocketError("TLS with " + options_.server_name +
                         ": its certificate cannot be checked (" +
                         win::SystemMessage(GetLastError()) + ")");
    }
    if (result.dwError != 0) {
      throw TSocketError("TLS with " + options_.server_name + ": the certificate is not trusted (" +
                         win::SystemMessage(result.dwError) + ", " +
                         Hex(static_cast<long>(result.dwError)) + ")");
    }
    if (address && !CertificateNamesAddress(certificate.get(), *address)) {
      throw TSocketError("TLS with " + options_.server_name +
                         ": the certificate is not for this address");
    }
    if (site_roots.empty()) return;
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    const CERT_CONTEXT* top = simple->rgpElement[simple->cElement - 1]->pCertContext;
    for (const auto& root : site_roots) {
      if (CertCompareCertificate(X509_ASN_ENCODING, top->pCertInfo, root->pCertInfo) != FALSE) {
        return;
      }
    }
    throw TSocketError("TLS with " + options_.server_name +
                       ": the certificate is not trusted (not issued by the CA file's CA)");
  }

  // The client's certificate with its key, from a PKCS#12 file: SChannel
  // takes a certificate that knows its key, which a PEM pair cannot give it.
  PCCERT_CONTEXT LoadClientCertificate() {
    std::ifstream file(options_.cert_file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), {});
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(bytes.size()), reinterpret_cast<BYTE*>(bytes.data())};
    if (bytes.empty() || PFXIsPFXBlob(&blob) == FALSE) {
      throw TSocketError("TLS with " + options_.server_name + ": the client certificate " +
                         options_.cert_file +
                         " is not a PKCS#12 (.pfx) file; on Windows the certificate and its key "
                         "come in one such file");
    }
    client_store_.reset(PFXImportCertStore(&blob, L"", PKCS12_NO_PERSIST_KEY));
    if (!client_store_) client_store_.reset(PFXImportCertStore(&blob, L"", 0));
    if (!client_store_) {
      throw TSocketError(
          "TLS with " + options_.server_name + ": " +
          win::ErrorText("read the client certificate " + options_.cert_file, GetLastError()));
    }
    // The first certificate that has its key: the client's, not its CA's.
    for (PCCERT_CONTEXT candidate = nullptr;
         (candidate = CertEnumCertificatesInStore(client_store_.get(), candidate)) != nullptr;) {
      DWORD size = 0;
      if (CertGetCertificateContextProperty(candidate, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                            &size) != FALSE ||
          CertGetCertificateContextProperty(candidate, CERT_KEY_CONTEXT_PROP_ID, nullptr, &size) !=
              FALSE ||
          CertGetCertificateContextProperty(candidate, CERT_NCRYPT_KEY_HANDLE_PROP_ID, nullptr,
                                            &size) != FALSE) {
        client_certificate_.reset(CertDuplicateCertificateContext(candidate));
        CertFreeCertificateContext(candidate);
        return client_certificate_.get();
      }
    }
    throw TSocketError("TLS with " + options_.server_name + ": no certificate with its key in " +
                       options_.cert_file);
  }

  std::unique_ptr<TTcpConnection> plain_;
  TTlsClientOptions options_;
  std::unique_ptr<void, TStoreClose> client_store_;
  std::unique_ptr<const CERT_CONTEXT, TCertificateFree> client_certificate_;
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool have_credentials_ = false;
  bool have_context_ = false;
  bool closed_ = false;
  SecPkgContext_StreamSizes sizes_{};
  std::string incoming_;   // encrypted bytes not yet used
  std::string plaintext_;  // decrypted bytes not yet taken
};

}  // namespace

std::unique_ptr<TTcpConnection> StartTlsClient(std::unique_ptr<TTcpConnection> plain,
                                               const TTlsClientOptions& options,
                                               TDeadline deadline) {
  auto connection = std::make_unique<TSchannelConnection>(std::move(plain), options);
  connection->Handshake(deadline);
  return connection;
}

}  // namespace warderon
