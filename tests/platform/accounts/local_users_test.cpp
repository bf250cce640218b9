// The local accounts as the platform reads them. Linux: /etc/passwd and
// /etc/shadow of the test's own, bound over the machine's in a private
// mount namespace (the machine's files are never changed); Windows (under
// Wine): the network-management list.
#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/test_backends.h"
#include "platform/accounts/local_users.h"

#ifndef _WIN32
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>
#endif

namespace warderon::testing {
namespace {

#ifndef _WIN32
TEST(LocalUsers, PasswdAndShadowAsTheAccountFunctionsReadThem) {
  if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
      mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "needs root for a private mount namespace";
  }
  const std::string passwd = ScratchPath("passwd");
  const std::string shadow = ScratchPath("shadow");
  std::ofstream(passwd) << "root:x:0:0:root:/root:/bin/bash\n"
                        << "toor:x:0:0::/:/bin/sh\n"
                        << "alice:x:1000:1000:Alice,,,:/home/alice:/bin/bash\n";
  std::ofstream(shadow) << "root:$6$salt$hash:19000:0:99999:7:::\n"
                        << "toor:!$6$salt$hash:19000:0:99999:7:::\n"
                        << "alice:*:19000:0:99999:7:::\n";
  ASSERT_EQ(mount(passwd.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(mount(shadow.c_str(), "/etc/shadow", nullptr, MS_BIND, nullptr), 0);
  bool truncated = true;
  const auto users = MakeSystemLocalUsers()->List(100, truncated);
  const auto cut = MakeSystemLocalUsers()->List(2, truncated);
  umount2("/etc/passwd", MNT_DETACH);
  umount2("/etc/shadow", MNT_DETACH);
  EXPECT_TRUE(truncated);
  EXPECT_EQ(cut.size(), 2U);
  ASSERT_EQ(users.size(), 3U);
  const std::vector<std::pair<std::string, std::string>> toor = {
      {"uid", "0"}, {"gid", "0"}, {"shell", "/bin/sh"}, {"locked", "yes"}};
  EXPECT_EQ(users[1].name, "toor");
  EXPECT_EQ(users[1].fields, toor);
  EXPECT_EQ(users[0].fields.back().second, "no") << "root has a password";
  EXPECT_EQ(users[2].fields.back().second, "yes") << "alice has none";
}
#else
TEST(LocalUsers, TheNetworkManagementListGivesEachAccountItsFields) {
  bool truncated = true;
  const auto users = MakeSystemLocalUsers()->List(10000, truncated);
  EXPECT_FALSE(truncated);
  ASSERT_FALSE(users.empty());
  for (const auto& user : users) {
    ASSERT_EQ(user.fields.size(), 3U) << user.name;
    EXPECT_EQ(user.fields[2].first, "administrator");
  }
}
#endif

}  // namespace
}  // namespace warderon::testing
