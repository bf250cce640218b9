// The share list of Samba, where Samba is installed: the shares come from
// its configuration (testparm), the connections from its status (smbstatus
// in JSON). The tools and the configuration file are chosen by the caller,
// so tests can run them against a private server.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "platform/net/share_list.h"

namespace warderon {

struct TSambaTools {
  std::string testparm = "testparm";
  std::string smbstatus = "smbstatus";
  std::string config;  // empty: Samba's own default
  // What one run of a tool may take: past either bound the tool is stopped
  // and the list is left alone for the cycle, as for any failed listing.
  std::chrono::seconds time_bound{30};
  std::size_t output_bound = 16 * 1024 * 1024;
};

std::unique_ptr<TShareList> MakeSambaShareList(TSambaTools tools);

}  // namespace warderon
