// Every monitor that keeps a baseline: what one run saves, a fresh module
// in a new process-like set-up loads without a checksum alert and without
// seeing a change, whatever the names hold ("=", a leading "=", letters
// beyond ASCII, names that are prefixes of each other).
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "fakes/fake_accounts.h"
#include "fakes/fake_network.h"
#include "fakes/fake_resources.h"
#include "fakes/fake_tamper.h"
#include "fakes/recording_alerts.h"
#include "monitors/accounts/locgrp_module.h"
#include "monitors/accounts/services_module.h"
#include "monitors/accounts/users_module.h"
#include "monitors/directory/ad_module.h"
#include "monitors/network/net_enum.h"
#include "monitors/network/tcp_module.h"
#include "monitors/tamper/hacking_module.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

const std::vector<std::string> kNames = {"a=b",  "=lead", "\xc3\x89ric", "App",
                                         "App2", "Adobe", "Adobe ARM",   "x y"};

// A directory whose watched group holds one member per name.
class TNamesDirectory final : public TLdapClient {
  class TSession final : public TLdapSession {
    std::vector<TLdapEntry> Search(const std::string& base, TLdapScope, const std::string& filter,
                                   const std::vector<std::string>&, int) override {
      if (base.empty()) return {{"", {{"defaultNamingContext", {"DC=t"}}}}};
      if (filter != "(samaccountname=g)") return {};  // the members are users
      std::vector<std::string> dns;
      for (const std::string& name : kNames) dns.push_back("CN=" + name + ",DC=t");
      return {{"CN=g,DC=t", {{"member", dns}}}};
    }
  };

 public:
  std::unique_ptr<TLdapSession> Open(const TDirectoryServer&) override {
    return std::make_unique<TSession>();
  }
};

struct TWorld {
  TMemoryPolicyBackend memory;
  TFakeServiceList services;
  TFakeLocalUsers users;
  TFakeLocalGroups groups;
  TFakeTcpTable table;
  TFakeProcessInfo processes;
  TFakeShareList shares;
  TFakeAutostartSource autostart;
  TNamesDirectory directory;
};

// One process of the watchdog: its own store object, lists and alerts.
struct TProcess {
  explicit TProcess(TWorld& world) : store(world.memory) {}
  TPolicyStore store;
  TRecordingAlerts alerts;
  TCycleState cycle;  // not a new install: integrity alerts count
  TBaselineLists lists{store, alerts, cycle};
};

using TMake = std::function<std::unique_ptr<TCycleModule>(TWorld&, TProcess&)>;

struct TCase {
  const char* monitor;
  const char* enabled;
  std::function<void(TWorld&, TProcess&)> feed;
  TMake make;
};

std::vector<TCase> Cases() {
  return {
      {"services", "ServicesEnabled",
       [](TWorld& world, TProcess&) {
         std::vector<TServiceEntry> entries;
         for (const std::string& name : kNames) entries.push_back({name, true});
         world.services.Set(entries);
       },
       [](TWorld& world, TProcess& process) {
         return std::make_unique<TServicesModule>(process.store, process.lists, process.alerts,
                                                  world.services);
       }},
      {"service configurations", "ServicesEnabled",
       [](TWorld& world, TProcess& process) {
         process.store.WritePolicyBool("general", "ServicesConfig", true);
         std::vector<TServiceEntry> entries;
         for (const std::string& name : kNames) {
           entries.push_back({name, true});
           world.services.configs.push_back(
               {name, name, {{"binary path", name}, {"account", name}}});
         }
         world.services.Set(entries);
       },
       [](TWorld& world, TProcess& process) {
         return std::make_unique<TServicesModule>(process.store, process.lists, process.alerts,
                                                  world.services, kNames[0]);
       }},
      {"local accounts", "LocalUsersEnabled",
       [](TWorld& world, TProcess& process) {
         // A known account, so that the first run records the rest as new.
         process.lists.SaveBaselinePairs("LocalUsers", {{"seed", "1"}}, true);
         for (const std::string& name : kNames)
           world.users.users.push_back({name, {{"shell", name}}});
       },
       [](TWorld& world, TProcess& process) {
         return std::make_unique<TLocalUsersModule>(process.store, process.lists, process.alerts,
                                                    world.users);
       }},
      {"local groups", nullptr,
       [](TWorld& world, TProcess& process) {
         TStringList watched(true);
         watched.Add("admins");
         process.lists.SaveBaselineKeys("LocGroups", watched);
         world.groups.members["admins"] = kNames;
       },
       [](TWorld& world, TProcess& process) {
         return std::make_unique<TLocGrpModule>(process.lists, process.alerts, world.groups);
       }},
      {"directory groups", "ADEnabled",
       [](TWorld&, TProcess& process) {
         TStringList watched;
         watched.Add("g");
         process.lists.SaveBaselineKeys("Groups", watched);
       },
       [](TWorld& world, TProcess& process) {
         return std::make_unique<TAdModule>(process.store, process.lists, process.alerts,
                                            process.cycle, world.directory, ".t");
       }},
      {"sockets", "SocketsEnabled",
       [](TWorld& world, TProcess&) {
         std::uint32_t pid = 100;
         for (const std::string& name : kNames) {
           TFakeProcess owner;
           owner.entry.pid = pid;
           owner.path = "/opt/" + name;
           world.processes.processes.push_back(owner);
           world.table.rows.push_back({true, static_cast<std::uint16_t>(pid), "0.0.0.0", pid});
           ++pid;
         }
       },
       [](TWorld& world, TProcess& process) {
         return std::make_unique<TTTCPModule>(
             process.store, process.lists, process.alerts, process.cycle, world.table,
             world.processes, [](const std::vector<std::uint16_t>& ports, auto) {
               return std::vector<TProbeResult>(ports.size(), TProbeResult::Reached);
             });
       }},
      {"shares", "SharesEnabled",
       [](TWorld& world, TProcess&) {
         for (const std::string& name : kNames) world.shares.shares[name] = {{name, "ws1"}};
       },
       [](TWorld& world, TProcess& process) {
         return std::make_unique<TNetEnum>(
             process.store, process.lists, process.alerts, world.shares,
             [](const std::string&, TSteadyTime) { return std::optional<std::string>(); });
       }},
      {"autostart", "HackingEnabled",
       [](TWorld& world, TProcess&) {
         auto& run = world.autostart.named["Run"];
         for (const std::string& name : kNames) run.push_back({name, "c:\\" + name + ".exe"});
         run.push_back({"", "the key's default value"});
         run.push_back({"=", "a name of one sign"});
       },
       [](TWorld& world, TProcess& process) {
         return std::make_unique<THackingModule>(process.store, process.lists, process.alerts,
                                                 process.cycle, world.autostart);
       }},
  };
}

TEST(BaselineContract, WhatARunSavesTheNextProcessLoadsWithoutAlertOrChange) {
  for (const TCase& test : Cases()) {
    TWorld world;
    {
      TProcess first(world);
      if (test.enabled != nullptr) first.store.WritePolicyBool("general", test.enabled, true);
      test.feed(world, first);
      const auto module = test.make(world, first);
      module->Initialize();
      module->Run();
      EXPECT_FALSE(first.alerts.alerts.empty()) << test.monitor << ": the first run records";
    }
    for (int start = 0; start < 2; ++start) {
      TProcess next(world);
      const auto module = test.make(world, next);
      module->Initialize();
      module->Run();
      for (const auto& alert : next.alerts.alerts) {
        ADD_FAILURE() << test.monitor << ", start " << start << ": " << alert.subject;
        for (const std::string& line : alert.details) ADD_FAILURE() << "  " << line;
      }
    }
  }
}

}  // namespace
}  // namespace warderon::testing
