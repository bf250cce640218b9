// The mount table as the kernel writes it: blanks separate the fields, and
// only blanks, tabs, line feeds and backslashes of names are escaped.
#include "platform/files/mount_table.h"

#include <gtest/gtest.h>

namespace warderon::testing {
namespace {

TEST(MountTable, PointsBelowAFolderWhateverTheirNamesHold) {
  const std::string table =
      "22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
      "30 22 0:40 / /srv/tree/with\\040blank rw - tmpfs tmpfs rw\n"
      "31 22 0:41 / /srv/tree/cr\rff\fvt\v rw - tmpfs tmpfs rw\n"
      "32 22 0:42 / /srv/tree/back\\134slash\\011tab rw - tmpfs tmpfs rw\n"
      "33 22 0:43 / /srv/treeish rw - tmpfs tmpfs rw\n"
      "34 22 0:44 / /srv/tree/odd\\x9 rw - tmpfs tmpfs rw\n"
      "short line\n";
  EXPECT_EQ(MountPointsBelow(table, "/srv/tree"),
            (std::vector<std::string>{"/srv/tree/with blank", "/srv/tree/cr\rff\fvt\v",
                                      "/srv/tree/back\\slash\ttab", "/srv/tree/odd\\x9"}));
  EXPECT_EQ(MountPointsBelow(table, "/").size(), 5U);
}

}  // namespace
}  // namespace warderon::testing
