// Baseline lists: ordered lists of "name=value" or bare "name" entries kept
// as the values of one policy section and sealed by a checksum in the
// section's default value. A load verifies the seal, reports a missing or
// wrong one as an integrity alert (level 3) and reseals; a save rewrites the
// section and its seal.
//
// Worker thread only. Store failures reach the caller as the policy store
// raises them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/alert_sender.h"
#include "core/cycle_state.h"
#include "core/string_list.h"
#include "platform/store/policy_backend.h"
#include "policy/policy_store.h"

namespace warderon {

class TBaselineLists {
 public:
  struct TNamedText {
    std::string name;
    std::optional<std::string> text;  // none: the number 1
    bool operator==(const TNamedText&) const = default;
  };

  TBaselineLists(TPolicyStore& store, TAlertSender& alerts, const TCycleState& cycle)
      : store_(store), alerts_(alerts), cycle_(cycle) {}

  // Fills list with the section's value names, in creation order or in the
  // list's sort order, and verifies (and if needed repairs) the checksum.
  // A load never refuses data: after an alert the caller goes on with it.
  void LoadBaselineList(const std::string& section, TStringList& list);
  // As LoadBaselineList, then every entry becomes name=value text.
  void LoadBaselineValues(const std::string& section, TStringList& list);
  // As LoadBaselineValues, with names and texts apart (a name may hold
  // "="), in the order a load into a list of that sortedness gives.
  std::vector<TNamedText> LoadBaselinePairs(const std::string& section, bool sorted);
  // Replaces the section by the list's entries and seals it: an entry
  // "name=value" is stored as that named text, any other as a name with the
  // number 1. On a store with transactions the whole rewrite is one: a crash
  // never leaves half a baseline.
  void SaveBaselineList(const std::string& section, const TStringList& list);
  // As SaveBaselineList for a list of keys: every entry is one whole name
  // (with the number 1), whatever it holds, "=" included, so the next load
  // gives the same entries.
  void SaveBaselineKeys(const std::string& section, const TStringList& list);
  // Named texts, the names taken as they are ("=" included; not empty,
  // which is the seal's). sorted: the order a load into a sorted list gives.
  void SaveBaselinePairs(const std::string& section, std::vector<TNamedText> entries, bool sorted);

 private:
  std::vector<TPolicyNamedValue> LoadAndVerify(const std::string& section, TStringList& list);

  TPolicyStore& store_;
  TAlertSender& alerts_;
  const TCycleState& cycle_;
};

}  // namespace warderon
