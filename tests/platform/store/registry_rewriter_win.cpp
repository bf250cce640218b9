// Helper for the interrupted-rewrite test: rewrites one section of a
// registry store for ever, alternating between two complete contents (all
// values "a", or all values "b", 200 of them), until it is killed.
//   registry_rewriter KEY-PATH SECTION
#include <string>
#include <vector>

#include "platform/store/registry_policy_backend.h"

int main(int argc, char** argv) {
  using namespace warderon;
  if (argc != 3) return 2;
  TRegistryPolicyBackend store(TRegistryHive::CurrentUser, argv[1]);
  for (int round = 0;; ++round) {
    std::vector<TPolicyNamedValue> values;
    const std::string text = round % 2 == 0 ? "a" : "b";
    for (int i = 0; i < 200; ++i) {
      values.push_back({"value" + std::to_string(i), TPolicyValue::MakeText(text)});
    }
    store.RewriteSection(argv[2], values);
  }
}
