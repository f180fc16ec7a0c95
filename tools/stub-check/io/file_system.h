// What a check reads of the files around it, as one interface handed in: the package, its scripts, its
// module, the registry exports and what a manifest depends on. The machine's own files answer by default;
// a caller with files of its own (a test, an editor's unsaved buffers) hands in another.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace check {

/// What stands at a path.
struct PathStatus {
  enum class Kind { kNone, kFile, kFolder, kOther };
  Kind kind = Kind::kNone;  // following links: a regular file, a folder, anything else (a FIFO, a device)
  bool there = false;       // something is at the path itself, a link that leads nowhere too
  std::string error;        // why the path could not be asked about; empty when it could, or is not there
};

/// One entry of a folder.
struct FolderEntry {
  std::string name;  // its own name, UTF-8
  bool folder;       // a folder, or a link to one
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  /// What is at the UTF-8 path `path`.
  virtual PathStatus Status(const std::string& path) const = 0;
  /// The entries of the folder `path`; false with `error` set when it cannot be listed.
  virtual bool List(const std::string& path, std::vector<FolderEntry>* entries, std::string* error) const = 0;
  /// The whole regular file at `path` when it is at most `limit` bytes long; false with `reason` set
  /// otherwise (`*tooLarge` too, when given and so).
  virtual bool Read(const std::string& path, std::size_t limit, std::string* bytes, std::string* reason,
                    bool* tooLarge = nullptr) const = 0;
};

/// The machine's own files.
const FileSystem& SystemFiles();

}  // namespace check
