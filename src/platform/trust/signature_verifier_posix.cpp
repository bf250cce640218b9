// Package verification on Debian-like systems: a file is trusted when an
// installed package lists it (dpkg's *.list files) and the MD5 digest that
// package recorded for it (*.md5sums) matches the file; the package's
// maintainer is the company text. This is not a cryptographic signature: it
// shows that the file is the one a package installed. The index of listed
// files is built when first needed and again whenever dpkg's status changes.
#include <openssl/evp.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/crypto/md5.h"
#include "platform/trust/package_verifier.h"

namespace warderon {
namespace {

constexpr char kDatabase[] = "/var/lib/dpkg";

// The MD5 digest of a file read in pieces (an executable may be large);
// empty when it cannot be read.
std::string FileMd5Hex(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) return {};
  std::vector<char> chunk(1 << 16);
  while (file.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || file.gcount() > 0) {
    if (EVP_DigestUpdate(context.get(), chunk.data(), static_cast<std::size_t>(file.gcount())) !=
        1) {
      return {};
    }
  }
  if (file.bad()) return {};
  TMd5Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
    return {};
  }
  return HexDigest(digest);
}

class TPackageVerifier final : public TSignatureVerifier {
 public:
  explicit TPackageVerifier(std::string database) : database_(std::move(database)) {}

  std::string UnavailableReason() const override {
    struct stat info {};
    if (stat((database_ + "/status").c_str(), &info) != 0) {
      return "no package database at " + database_ + ": executables cannot be verified";
    }
    return {};
  }

  TSignature VerifyFileSignature(const std::string& path) override {
    TSignature result;
    Refresh();
    // Merged /usr: a package may list /bin/x for the running /usr/bin/x.
    std::string listed = path;
    auto package = owners_.find(listed);
    if (package == owners_.end() && path.rfind("/usr/", 0) == 0) {
      listed = path.substr(4);
      package = owners_.find(listed);
    }
    if (package == owners_.end()) {
      listed = "/usr" + path;
      package = owners_.find(listed);
    }
    if (package == owners_.end()) return result;
    const std::string& name = packages_[package->second];
    const std::string recorded = RecordedDigest(name, listed);
    if (recorded.empty() || FileMd5Hex(path) != recorded) return result;
    result.trusted = true;
    const auto maintainer = maintainers_.find(name.substr(0, name.find(':')));
    if (maintainer != maintainers_.end()) result.company = maintainer->second;
    return result;
  }

 private:
  // Rebuilds the index when dpkg's status file has changed since.
  void Refresh() {
    struct stat info {};
    if (stat((database_ + "/status").c_str(), &info) != 0) return;
    const auto stamp = std::pair(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    if (stamp == stamp_) return;
    stamp_ = stamp;
    owners_.clear();
    packages_.clear();
    maintainers_.clear();
    std::error_code error;
    for (std::filesystem::directory_iterator entry(database_ + "/info", error), end;
         !error && entry != end; entry.increment(error)) {
      const std::filesystem::path& list = entry->path();
      if (list.extension() != ".list") continue;
      const auto index = static_cast<std::uint32_t>(packages_.size());
      packages_.push_back(list.stem().string());
      std::ifstream lines(list);
      std::string line;
      while (std::getline(lines, line)) {
        if (!line.empty()) owners_.emplace(line, index);
      }
    }
    std::ifstream status(database_ + "/status");
    std::string line;
    std::string package;
    while (std::getline(status, line)) {
      if (line.rfind("Package: ", 0) == 0) package = line.substr(9);
      if (line.rfind("Maintainer: ", 0) == 0) maintainers_[package] = line.substr(12);
    }
  }

  // The digest the package recorded for a listed path, or empty.
  std::string RecordedDigest(const std::string& package, const std::string& listed) const {
    std::ifstream sums(database_ + "/info/" + package + ".md5sums");
    const std::string relative = listed.substr(1);
    std::string line;
    while (std::getline(sums, line)) {
      // "DIGEST  relative/path"
      if (line.size() > 34 && line.compare(34, std::string::npos, relative) == 0) {
        return line.substr(0, 32);
      }
    }
    return {};
  }

  std::string database_;
  std::pair<long, long> stamp_{-1, -1};
  std::unordered_map<std::string, std::uint32_t> owners_;  // listed path to package
  std::vector<std::string> packages_;                      // as named by their files
  std::unordered_map<std::string, std::string> maintainers_;
};

}  // namespace

std::unique_ptr<TSignatureVerifier> MakePackageSignatureVerifier(const std::string& database) {
  return std::make_unique<TPackageVerifier>(database);
}

std::unique_ptr<TSignatureVerifier> MakeSystemSignatureVerifier() {
  return MakePackageSignatureVerifier(kDatabase);
}

}  // namespace warderon
