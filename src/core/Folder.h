#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/Error.h"

namespace core {

// What a name in a folder is, seen without following a symbolic link.
enum class EntryKind { kFile, kLink, kFolder, kOther };

struct FolderEntry {
  std::string name;
  EntryKind kind;
};

// What `path` is (a final separator changes nothing), without following a link in its
// place; none when nothing is there.
std::optional<EntryKind> KindOf(const std::string& path);

// The error for a symbolic link found where the program keeps its own `what` ("file",
// "folder"): the link is left as it is.
Error LinkRefused(const std::string& source, const std::string& path, const char* what);

// One open folder and the operations on the names in it (the *at calls), none of which
// follows a symbolic link: a link where a file or folder is expected is never written
// through, moved or removed. Move-only; the descriptor closes with the object. Failures
// throw core::Error naming the path and the system's reason, with `source`.
class Folder {
 public:
  // How the folder itself may be reached.
  enum class Reach {
    kOwn,     // a folder the program made: a symbolic link in its place is refused
    kFollow,  // a folder someone named (a result's folder): it may be a link
  };

  Folder() = default;
  // Opens the folder at `path` (a final separator changes nothing); a closed Folder
  // when nothing is there. A link refused, or anything else that is not a folder, throws.
  static Folder Open(const std::string& path, Reach reach, const std::string& source);
  // As Open, making the folder (and the folders above it) when it is missing.
  static Folder Make(const std::string& path, Reach reach, const std::string& source);
  ~Folder();
  Folder(Folder&& other) noexcept;
  Folder& operator=(Folder&& other) noexcept;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Descriptor() const { return fd_; }
  const std::string& Path() const { return path_; }
  // `name` joined to the folder's path.
  std::string PathOf(const std::string& name) const;

  // Every name in the folder but "." and "..", with what it is.
  std::vector<FolderEntry> List() const;
  // What `name` is; none when it is not there.
  std::optional<EntryKind> KindOf(const std::string& name) const;
  // Removes the regular file `name`. False when it is not one (a link, a folder, nothing
  // there): it is then left as it is.
  bool RemoveFile(const std::string& name) const;
  // Moves the file at `from` into this folder as `name`, replacing a regular file of that
  // name. False when `from` lies on another file system. Throws when `from` is a link,
  // `name` is taken by anything but a file (a link is never replaced), or the rename
  // fails; `from` is then where it was.
  bool MoveIn(const std::string& from, const std::string& name) const;

 private:
  Folder(int fd, std::string path, std::string source);

  int fd_ = -1;
  std::string path_;
  std::string source_;
};

}  // namespace core
