// Writes the group-policy templates into a folder: warderon.admx and
// en-US/warderon.adml, ready for the central policy store.
#include <filesystem>
#include <fstream>
#include <iostream>

#include "policy/policy_templates.h"

namespace {

bool WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  out.close();
  if (!out) std::cerr << "warderon-policy-templates: cannot write " << path.string() << "\n";
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: warderon-policy-templates FOLDER\n";
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::error_code error;
  std::filesystem::create_directories(folder / "en-US", error);
  if (error) {
    std::cerr << "warderon-policy-templates: cannot create " << folder.string() << ": "
              << error.message() << "\n";
    return 1;
  }
  const bool written =
      WriteFile(folder / "warderon.admx", warderon::MakePolicyDefinitions()) &&
      WriteFile(folder / "en-US" / "warderon.adml", warderon::MakePolicyResources());
  return written ? 0 : 1;
}
