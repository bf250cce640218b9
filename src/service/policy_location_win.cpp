#include "platform/store/registry_policy_backend.h"
#include "policy/setting_catalogue.h"
#include "service/policy_location.h"

namespace warderon {

std::string CataloguePath(const std::optional<std::string>& /*store_path*/) {
  return "c:\\orvan\\warderon\\files.lst";
}

std::unique_ptr<TPolicyBackend> OpenPolicyBackend(const std::optional<std::string>& store_path,
                                                  TStoreUser /*user*/) {
  if (store_path) {
    throw TPolicyError(
        std::string("-store is for Linux hosts; on Windows the settings live in the registry key "
                    "HKLM\\") +
        kPolicyRootKey);
  }
  return std::make_unique<TRegistryPolicyBackend>(TRegistryHive::LocalMachine, kPolicyRootKey);
}

}  // namespace warderon
