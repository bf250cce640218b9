// The Service Control Manager's configurations as it keeps them in the
// registry (under Wine for the Windows build): a service the test registers, its binary path
// changed as `sc config binPath=` changes it, its start type as `sc config start=`, and a
// service DLL written straight into its registry key, each seen by the same list that read
// the configurations before (which keeps them while the registry is unchanged).
#include <gtest/gtest.h>

#include <string>

#include "platform/accounts/service_list.h"
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

namespace warderon::testing {
namespace {

std::string Field(TServiceList& list, const std::string& service, const std::string& wanted) {
  bool truncated = false;
  for (const auto& config : list.Configurations(10000, truncated)) {
    if (config.name != service) continue;
    if (wanted == "display name") return config.display_name;
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
  const std::string key = win::Narrow(name);
  const auto list = MakeSystemServiceList();
  EXPECT_EQ(Field(*list, key, "binary path"), "none");
  const win::TServiceHandle service(CreateServiceW(
      manager.Get(), name.c_str(), L"Warderon config test", SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
      L"C:\\windows\\system32\\svchost.exe -k test", nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(service.Valid()) << GetLastError();
  EXPECT_EQ(Field(*list, key, "binary path"), "C:\\windows\\system32\\svchost.exe -k test");
  EXPECT_EQ(Field(*list, key, "start type"), "manual");
  // Empty where the service keeps the default security (Wine keeps none).
  EXPECT_NE(Field(*list, key, "security"), "none");
  const auto alone = MakeSystemServiceList()->Configuration(key);
  ASSERT_TRUE(alone.has_value());
  EXPECT_EQ(alone->display_name, "Warderon config test");
  EXPECT_FALSE(MakeSystemServiceList()->Configuration("WarderonNoSuchService").has_value());
  ASSERT_NE(ChangeServiceConfigW(service.Get(), SERVICE_NO_CHANGE, SERVICE_DISABLED,
                                 SERVICE_NO_CHANGE, L"C:\\evil\\backdoor.exe", nullptr, nullptr,
                                 nullptr, nullptr, nullptr, L"Renamed test"),
            FALSE);
  const std::string binary = Field(*list, key, "binary path");
  const std::string start = Field(*list, key, "start type");
  const std::string display = Field(*list, key, "display name");
  const std::wstring parameters = L"SYSTEM\\CurrentControlSet\\Services\\" + name + L"\\Parameters";
  const wchar_t dll[] = L"C:\\evil\\hook.dll";
  const LONG written = RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters.c_str(), L"ServiceDll",
                                       REG_EXPAND_SZ, dll, sizeof dll);
  const std::string service_dll = Field(*list, key, "service dll");
  DeleteService(service.Get());
  EXPECT_EQ(binary, "C:\\evil\\backdoor.exe");
  EXPECT_EQ(start, "disabled");
  EXPECT_EQ(display, "Renamed test");
  ASSERT_EQ(written, ERROR_SUCCESS);
  EXPECT_EQ(service_dll, "C:\\evil\\hook.dll");
}

}  // namespace
}  // namespace warderon::testing
