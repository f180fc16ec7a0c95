// The machine's own files behind FileSystem.
#include "io/file_system.h"

#include <filesystem>
#include <system_error>

#include "io/checked_files.h"
#include "io/files.h"

namespace check {
namespace {
namespace fs = std::filesystem;

class MachineFiles final : public FileSystem {
 public:
  PathStatus Status(const std::string& path) const override {
    PathStatus status;
    std::error_code error, linkError;
    const fs::file_status target = fs::status(io::PathOf(path), error);
    status.there = fs::exists(fs::symlink_status(io::PathOf(path), linkError));
    status.kind = fs::is_regular_file(target) ? PathStatus::Kind::kFile
                  : fs::is_directory(target)  ? PathStatus::Kind::kFolder
                  : fs::exists(target)        ? PathStatus::Kind::kOther
                                              : PathStatus::Kind::kNone;
    if (error && error != std::errc::no_such_file_or_directory) status.error = error.message();
    return status;
  }

  bool List(const std::string& path, std::vector<FolderEntry>* entries, std::string* error) const override {
    std::error_code code;
    fs::directory_iterator it(io::PathOf(path), code);
    for (; !code && it != fs::directory_iterator(); it.increment(code)) {
      std::error_code kind;
      entries->push_back({io::TextOf(it->path().filename()), it->is_directory(kind)});
    }
    if (code) *error = code.message();
    return !code;
  }

  bool Read(const std::string& path, std::size_t limit, std::string* bytes, std::string* reason,
            bool* tooLarge) const override {
    return ReadRegularFile(path, limit, bytes, reason, tooLarge);
  }
};

}  // namespace

const FileSystem& SystemFiles() {
  static const MachineFiles files;
  return files;
}

}  // namespace check
