// The share list of Samba, where Samba is installed: the shares come from
// its configuration (testparm), the connections from its status (smbstatus
// in JSON). The tools and the configuration file are chosen by the caller,
// so tests can run them against a private server.
#pragma once

#include <memory>
#include <string>

#include "platform/share_list.h"

namespace warderon {

struct TSambaTools {
  std::string testparm = "testparm";
  std::string smbstatus = "smbstatus";
  std::string config;  // empty: Samba's own default
};

std::unique_ptr<TShareList> MakeSambaShareList(TSambaTools tools);

}  // namespace warderon
