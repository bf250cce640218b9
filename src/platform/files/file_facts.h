// What a deeper file check compares beyond last-write time and size: owner,
// group, permission bits, the file's identity, its link count, a digest of
// its security descriptor and its status-change time; and its content's
// SHA-256, read in slices so that a large file spreads over cycles.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/crypto/sha256.h"

namespace warderon {

struct TFileFacts {
  std::uint64_t volume = 0;         // Linux: the device; Windows: the volume serial
  std::uint64_t file_id = 0;        // Linux: the inode; Windows: the 64-bit file id
  std::int64_t status_changed = 0;  // ns since 1970 (Linux ctime, Windows ChangeTime); 0: none
  std::int64_t last_write = 0;      // ns since 1970
  std::uint64_t size = 0;
  std::string owner;  // Linux: uid and gid as numbers; Windows: SID strings
  std::string group;
  std::uint32_t mode = 0;  // Linux: st_mode; Windows: the attributes compared
  std::uint32_t links = 1;
  std::uint64_t security = 0;  // digest of the ACL and security labels; 0: none
  bool regular = true;         // a plain file (not a link, a FIFO, a device)
};

// The facts of a file, never following a link; nothing, with the reason in
// error, when it cannot be read.
std::optional<TFileFacts> ReadFileFacts(const std::string& path, std::string& error);

// An owner or group as an administrator reads it: the account's name where
// it resolves, else the number (or SID) itself.
std::string AccountText(const std::string& account, bool group);

// Permission bits as the platform writes them: Linux "%04o" of the mode's
// permission bits (setuid, setgid and sticky included); Windows the letters
// R, H and S of the attributes set, "-" for none.
std::string ModeText(std::uint32_t mode);

// A file's content, hashed in slices. Opened without following a link and
// read with the platform's hint not to keep it cached.
class TContentDigest {
 public:
  TContentDigest();
  ~TContentDigest();
  TContentDigest(const TContentDigest&) = delete;
  TContentDigest& operator=(const TContentDigest&) = delete;

  // False, with the reason in error, when the file cannot be opened.
  bool Open(const std::string& path, std::string& error);
  // Reads and hashes at most budget bytes; the bytes read. False in error
  // when a read failed (the digest is then abandoned).
  std::uint64_t Read(std::uint64_t budget, std::string& error);
  bool Done() const;
  // Bytes still to read (0 when not open).
  std::uint64_t Remaining() const;
  // Whether the file changed while it was read (its size or last-write
  // time moved): the digest is then of no one version and is taken again.
  bool ChangedWhileRead() const;
  TSha256Digest Finish();
  void Close();

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

}  // namespace warderon
