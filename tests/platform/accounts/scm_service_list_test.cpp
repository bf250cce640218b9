// The Service Control Manager's configurations as it keeps them in the
// registry (under Wine for the Windows build): a service the test registers, its binary path
// changed as `sc config binPath=` changes it, and its start type as `sc config start=`.
#include <gtest/gtest.h>

#include <string>

#include "platform/accounts/service_list.h"
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

namespace warderon::testing {
namespace {

std::string Field(const std::string& service, const std::string& wanted) {
  bool truncated = false;
  for (const auto& config : MakeSystemServiceList()->Configurations(10000, truncated)) {
    if (config.name != service) continue;
    for (const auto& [field, value] : config.fields) {
      if (field == wanted) return value;
    }
  }
  return "none";
}

TEST(ScmServiceList, ConfigurationsFollowWhatTheManagerHolds) {
  const win::TServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager.Valid()) << GetLastError();
  const std::wstring name = L"WarderonConfigTest" + std::to_wstring(GetCurrentProcessId());
  const win::TServiceHandle service(CreateServiceW(
      manager.Get(), name.c_str(), L"Warderon config test", SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
      L"C:\\windows\\system32\\svchost.exe -k test", nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(service.Valid()) << GetLastError();
  const std::string key = win::Narrow(name);
  EXPECT_EQ(Field(key, "binary path"), "C:\\windows\\system32\\svchost.exe -k test");
  EXPECT_EQ(Field(key, "start type"), "manual");
  // Empty where the service keeps the default security (Wine keeps none).
  EXPECT_NE(Field(key, "security"), "none");
  const auto alone = MakeSystemServiceList()->Configuration(key);
  ASSERT_TRUE(alone.has_value());
  EXPECT_EQ(alone->display_name, "Warderon config test");
  EXPECT_FALSE(MakeSystemServiceList()->Configuration("WarderonNoSuchService").has_value());
  ASSERT_NE(ChangeServiceConfigW(service.Get(), SERVICE_NO_CHANGE, SERVICE_DISABLED,
                                 SERVICE_NO_CHANGE, L"C:\\evil\\backdoor.exe", nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr),
            FALSE);
  const std::string binary = Field(key, "binary path");
  const std::string start = Field(key, "start type");
  DeleteService(service.Get());
  EXPECT_EQ(binary, "C:\\evil\\backdoor.exe");
  EXPECT_EQ(start, "disabled");
}

}  // namespace
}  // namespace warderon::testing
