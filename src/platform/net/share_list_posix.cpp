// Shares on Linux are Samba's. Without Samba's tools the machine has no
// share. One run asks the configuration for the shares and the status for
// every connection once, so all shares are compared with one snapshot.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "core/json_reader.h"
#include "core/text_case.h"
#include "platform/net/samba_share_list.h"
#include "platform/posix/command_output.h"

namespace warderon {
namespace {

// Whether a program can be found: a path as given, or a name on PATH.
bool ProgramExists(const std::string& program) {
  if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= folders.size()) {
    const std::size_t end = std::min(folders.find(':', start), folders.size());
    const std::string folder = folders.substr(start, end - start);
    if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

class TSambaShareList final : public TShareList {
 public:
  explicit TSambaShareList(TSambaTools tools) : tools_(std::move(tools)) {}

  std::optional<std::vector<std::string>> Shares() override {
    connections_.reset();
    if (!ProgramExists(tools_.testparm) || !ProgramExists(tools_.smbstatus)) {
      return std::vector<std::string>{};  // no Samba, no share
    }
    std::vector<std::string> shares;
    try {
      std::string command = ShellQuoted(tools_.testparm) + " -s --suppress-prompt";
      if (!tools_.config.empty()) command += " " + ShellQuoted(tools_.config);
      for (const std::string& line : CommandOutputLines(command, Bounds())) {
        if (line.size() < 3 || line.front() != '[' || line.back() != ']') continue;
        const std::string name = line.substr(1, line.size() - 2);
        if (CompareTextIgnoreCase(name, "global") != 0) shares.push_back(name);
      }
    } catch (const TCommandOutputError&) {
      return std::nullopt;
    }
    // Samba serves IPC$ without a section of its own; Windows lists it too.
    const auto named = [&](const char* name) {
      return std::any_of(shares.begin(), shares.end(), [&](const std::string& share) {
        return CompareTextIgnoreCase(share, name) == 0;
      });
    };
    if (!named("IPC$")) shares.emplace_back("IPC$");
    has_homes_ = named("homes");
    shares_ = shares;
    connections_ = ReadConnections();
    return shares;
  }

  // A connection to a user's home share is named by that share ("jane"),
  // which testparm lists as [homes]: such connections count for [homes].
  std::optional<std::vector<TShareConnection>> Connections(const std::string& share) override {
    if (!connections_) return std::nullopt;
    const bool homes = has_homes_ && CompareTextIgnoreCase(share, "homes") == 0;
    std::vector<TShareConnection> found;
    for (const auto& [service, connection] : *connections_) {
      const bool listed = std::any_of(shares_.begin(), shares_.end(), [&](const std::string& name) {
        return CompareTextIgnoreCase(name, service) == 0;
      });
      if (CompareTextIgnoreCase(service, share) == 0 || (homes && !listed)) {
        found.push_back(connection);
      }
    }
    return found;
  }

 private:
  TCommandBounds Bounds() const { return {tools_.time_bound, tools_.output_bound}; }

  // Every tree connection as (share, user and client), or nothing when the
  // status cannot be read.
  std::optional<std::vector<std::pair<std::string, TShareConnection>>> ReadConnections() {
    std::string document;
    try {
      std::string command = ShellQuoted(tools_.smbstatus) + " --json";
      if (!tools_.config.empty()) command += " -s " + ShellQuoted(tools_.config);
      for (const std::string& line : CommandOutputLines(command, Bounds())) document += line + "\n";
      const TJsonValue status = ParseJson(document);
      std::map<std::string, TShareConnection> sessions;
      if (const TJsonValue* list = status.Member("sessions")) {
        for (const auto& [id, session] : list->members) {
          sessions[session.MemberText("session_id")] = {session.MemberText("username"),
                                                        session.MemberText("remote_machine")};
        }
      }
      std::vector<std::pair<std::string, TShareConnection>> connections;
      if (const TJsonValue* list = status.Member("tcons")) {
        for (const auto& [id, tcon] : list->members) {
          TShareConnection connection;
          const auto session = sessions.find(tcon.MemberText("session_id"));
          if (session != sessions.end()) connection = session->second;
          const std::string machine = tcon.MemberText("machine");
          if (!machine.empty()) connection.client = machine;
          connections.emplace_back(tcon.MemberText("service"), std::move(connection));
        }
      }
      return connections;
    } catch (const TCommandOutputError&) {
      return std::nullopt;
    } catch (const TJsonError&) {
      return std::nullopt;
    }
  }

  TSambaTools tools_;
  std::optional<std::vector<std::pair<std::string, TShareConnection>>> connections_;
  std::vector<std::string> shares_;  // as the last Shares() listed them
  bool has_homes_ = false;
};

}  // namespace

std::unique_ptr<TShareList> MakeSambaShareList(TSambaTools tools) {
  return std::make_unique<TSambaShareList>(std::move(tools));
}

std::unique_ptr<TShareList> MakeSystemShareList() { return MakeSambaShareList({}); }

}  // namespace warderon
