// Authenticode verification through the trust library, loaded once at
// process start with its nine functions looked up by name. A file listed in
// a system catalogue is verified as a catalogue member, any other by its
// embedded signature.
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

// The crypto types first: the trust headers use them.
#include <wincrypt.h>
#include <wintrust.h>

#include <mscat.h>
#include <softpub.h>

#include "platform/trust/signature_verifier.h"

namespace warderon {
namespace {

using win::Narrow;
using win::Widen;

using TAcquireContext = BOOL(WINAPI*)(HCATADMIN*, const GUID*, DWORD);
using TReleaseContext = BOOL(WINAPI*)(HCATADMIN, DWORD);
using TCalcHash = BOOL(WINAPI*)(HANDLE, DWORD*, BYTE*, DWORD);
using TEnumCatalog = HCATINFO(WINAPI*)(HCATADMIN, BYTE*, DWORD, DWORD, HCATINFO*);
using TCatalogInfo = BOOL(WINAPI*)(HCATINFO, CATALOG_INFO*, DWORD);
using TReleaseCatalog = BOOL(WINAPI*)(HCATADMIN, HCATINFO, DWORD);
using TVerifyTrust = LONG(WINAPI*)(HWND, GUID*, LPVOID);
using TSignerFromChain = CRYPT_PROVIDER_SGNR*(WINAPI*)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
using TProvData = CRYPT_PROVIDER_DATA*(WINAPI*)(HANDLE);

constexpr DWORD kSaferFlag = 256;
constexpr DWORD kEmbeddedRevocationField = 32;

class TWinSignatureVerifier final : public TSignatureVerifier {
 public:
  TWinSignatureVerifier() {
    HMODULE library = LoadLibraryW(L"wintrust.dll");
    if (reinterpret_cast<std::uintptr_t>(library) < 32) {
      reason_ = "the trust library wintrust.dll could not be loaded: " +
                win::SystemMessage(GetLastError());
      return;
    }
    library_.Reset(library);
    auto need = [&](auto& function, const char* name) {
      using TFunction = std::remove_reference_t<decltype(function)>;
      function = win::LookUpFunction<TFunction>(library_.Get(), name);
      if (function == nullptr && reason_.empty()) {
        reason_ = std::string("the trust library wintrust.dll has no function ") + name;
      }
    };
    need(acquire_, "CryptCATAdminAcquireContext");
    need(release_, "CryptCATAdminReleaseContext");
    need(calc_hash_, "CryptCATAdminCalcHashFromFileHandle");
    need(enum_catalog_, "CryptCATAdminEnumCatalogFromHash");
    need(catalog_info_, "CryptCATCatalogInfoFromContext");
    need(release_catalog_, "CryptCATAdminReleaseCatalogContext");
    need(verify_trust_, "WinVerifyTrust");
    need(signer_from_chain_, "WTHelperGetProvSignerFromChain");
    need(prov_data_, "WTHelperProvDataFromStateData");
  }

  std::string UnavailableReason() const override { return reason_; }

  TSignature VerifyFileSignature(const std::string& path) override {
    TSignature result;
    if (!reason_.empty()) return result;
    HCATADMIN admin = nullptr;
    if (acquire_(&admin, nullptr, 0) == FALSE) return result;
    const std::wstring wide_path = Widen(path);
    BYTE hash[256] = {};
    DWORD hash_size = sizeof hash;
    {
      const win::TKernelHandle file(CreateFileW(wide_path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
      if (file.Get() == INVALID_HANDLE_VALUE || !file.Valid()) {
        release_(admin, 0);
        return result;
      }
      if (calc_hash_(file.Get(), &hash_size, hash, 0) == FALSE) hash_size = 0;
    }
    std::wstring member_tag;
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    for (DWORD i = 0; i < hash_size; ++i) {
      member_tag += kDigits[hash[i] >> 4];
      member_tag += kDigits[hash[i] & 15];
    }
    HCATINFO catalog = hash_size > 0 ? enum_catalog_(admin, hash, hash_size, 0, nullptr) : nullptr;

    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    WINTRUST_CATALOG_INFO catalog_member{};
    WINTRUST_FILE_INFO file_info{};
    CATALOG_INFO info{};
    info.cbStruct = sizeof info;
    if (catalog != nullptr && catalog_info_(catalog, &info, 0) != FALSE) {
      catalog_member.cbStruct = sizeof catalog_member;
      catalog_member.pcwszCatalogFilePath = info.wszCatalogFile;
      catalog_member.pcwszMemberTag = member_tag.c_str();
      catalog_member.pcwszMemberFilePath = wide_path.c_str();
      data.dwUnionChoice = WTD_CHOICE_CATALOG;
      data.pCatalog = &catalog_member;
    } else {
      file_info.cbStruct = sizeof file_info;
      file_info.pcwszFilePath = wide_path.c_str();
      data.dwUnionChoice = WTD_CHOICE_FILE;
      data.pFile = &file_info;
      data.fdwRevocationChecks = kEmbeddedRevocationField;
      data.dwProvFlags = kSaferFlag;
    }
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const auto window = static_cast<HWND>(INVALID_HANDLE_VALUE);
    if (verify_trust_(window, &action, &data) == 0) {
      result.trusted = true;
      result.company = SignerCompany(data.hWVTStateData);
    }
    // The verification state is released whatever the outcome.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    verify_trust_(window, &action, &data);
    if (catalog != nullptr) release_catalog_(admin, catalog, 0);
    release_(admin, 0);
    return result;
  }

 private:
  // The common name and later parts of the signing certificate's subject.
  std::string SignerCompany(HANDLE state) const {
    CRYPT_PROVIDER_DATA* provider = prov_data_(state);
    if (provider == nullptr) return "N/A";
    CRYPT_PROVIDER_SGNR* signer = signer_from_chain_(provider, 0, FALSE, 0);
    if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr ||
        signer->pasCertChain[0].pCert == nullptr) {
      return "N/A";
    }
    CERT_NAME_BLOB* subject = &signer->pasCertChain[0].pCert->pCertInfo->Subject;
    const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    const DWORD length = CertNameToStrW(encoding, subject, CERT_X500_NAME_STR, nullptr, 0);
    if (length <= 1) return "N/A";
    std::wstring text(length, L'\0');
    CertNameToStrW(encoding, subject, CERT_X500_NAME_STR, text.data(), length);
    text.resize(length - 1);
    const auto common_name = text.find(L"CN=");
    if (common_name != std::wstring::npos) text.erase(0, common_name + 3);
    return Narrow(text);
  }

  std::string reason_;
  win::TLibrary library_;
  TAcquireContext acquire_ = nullptr;
  TReleaseContext release_ = nullptr;
  TCalcHash calc_hash_ = nullptr;
  TEnumCatalog enum_catalog_ = nullptr;
  TCatalogInfo catalog_info_ = nullptr;
  TReleaseCatalog release_catalog_ = nullptr;
  TVerifyTrust verify_trust_ = nullptr;
  TSignerFromChain signer_from_chain_ = nullptr;
  TProvData prov_data_ = nullptr;
};

}  // namespace

std::unique_ptr<TSignatureVerifier> MakeSystemSignatureVerifier() {
  return std::make_unique<TWinSignatureVerifier>();
}

}  // namespace warderon
