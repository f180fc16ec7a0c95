// The emulated file system: files and folders at Windows paths held in memory,
// read through real C FILE streams so that the C library's own fseek, ftell,
// fread and fgetc apply. With glibc a stream reads the file's bytes from
// memory; a Windows build (the package checker's) has no such streams, so
// there each open file is a temporary file holding the bytes, and the files
// that misbehave on purpose read like ordinary ones.
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "platform/emulated/internal.h"

namespace emu {
namespace {

enum class Behaviour { kNormal, kUnseekable, kShrinking };

struct FileEntry {
  std::shared_ptr<const std::string> bytes;  // never changed once put: streams share it
  Behaviour behaviour = Behaviour::kNormal;
  long claimedSize = 0;
};

struct FileState {
  std::map<std::u16string, FileEntry> files;  // by normalised path
  std::set<std::u16string> directories;       // by normalised path
  std::set<FILE*> open;
  std::vector<std::u16string> openedPaths;
};

FileState& Files() {
  static FileState state;
  return state;
}

// Windows paths compare without regard to case or to the kind of slash, and a
// trailing separator does not change what a path names.
std::u16string Normalise(const std::u16string& path) {
  std::u16string result = detail::Folded(path);
  for (char16_t& c : result) {
    if (c == u'/') c = u'\\';
  }
  while (result.size() > 1 && result.back() == u'\\') result.pop_back();
  return result;
}

void AddParents(FileState& state, const std::u16string& normalised) {
  std::size_t slash = normalised.rfind(u'\\');
  while (slash != std::u16string::npos && slash > 0) {
    std::u16string parent = normalised.substr(0, slash);
    state.directories.insert(parent);
    slash = parent.rfind(u'\\');
  }
}

void Put(const std::u16string& path, FileEntry entry) {
  detail::Guard guard(detail::StateLock());
  FileState& state = Files();
  std::u16string key = Normalise(path);
  AddParents(state, key);
  state.files[key] = std::move(entry);
}

// One open stream: its own hold on the content, so removing or replacing the
// file while it is open does not disturb the reader.
struct Stream {
  std::shared_ptr<const std::string> data;  // what reads deliver
  long endOffset;                           // where SEEK_END points
  bool seekable;
  long position = 0;
};

#ifndef _WIN32
ssize_t StreamRead(void* cookie, char* buffer, std::size_t size) {
  auto* stream = static_cast<Stream*>(cookie);
  long available = static_cast<long>(stream->data->size()) - stream->position;
  if (available <= 0) return 0;
  std::size_t n = std::min(size, static_cast<std::size_t>(available));
  std::memcpy(buffer, stream->data->data() + stream->position, n);
  stream->position += static_cast<long>(n);
  return static_cast<ssize_t>(n);
}

int StreamSeek(void* cookie, off64_t* offset, int origin) {
  auto* stream = static_cast<Stream*>(cookie);
  if (!stream->seekable) {
    errno = ESPIPE;
    return -1;
  }
  long base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? stream->position : stream->endOffset;
  long target = base + static_cast<long>(*offset);
  if (target < 0) {
    errno = EINVAL;
    return -1;
  }
  stream->position = target;
  *offset = target;
  return 0;
}

int StreamClose(void* cookie) {
  delete static_cast<Stream*>(cookie);
  return 0;
}
#endif

// Text mode as the Microsoft C runtime reads it: CR LF becomes LF, and a
// Ctrl-Z ends the file. The end for seeking stays the size on disk.
std::string TextModeBytes(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\x1A') break;
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    out += bytes[i];
  }
  return out;
}

int ErrnoFor(std::int32_t code) {
  if (code == ERROR_FILE_NOT_FOUND) return ENOENT;
  if (code == ERROR_ACCESS_DENIED) return EACCES;
  if (code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_OUTOFMEMORY) return ENOMEM;
  return EIO;
}

}  // namespace

namespace detail {

void ResetFiles() {
  // Streams still open are forgotten, not closed: their owners may close them later.
  Files() = FileState();
}

}  // namespace detail

void PutFile(const std::u16string& path, const std::string& bytes) {
  PutFile(path, std::make_shared<const std::string>(bytes));
}

void PutFile(const std::u16string& path, std::shared_ptr<const std::string> bytes) {
  Put(path, {std::move(bytes)});
}

void PutUnseekableFile(const std::u16string& path, const std::string& bytes) {
  Put(path, {std::make_shared<const std::string>(bytes), Behaviour::kUnseekable, 0});
}

void PutShrinkingFile(const std::u16string& path, const std::string& bytes, long claimedSize) {
  Put(path, {std::make_shared<const std::string>(bytes), Behaviour::kShrinking, claimedSize});
}

void RemoveFile(const std::u16string& path) {
  detail::Guard guard(detail::StateLock());
  Files().files.erase(Normalise(path));
}

void PutDirectory(const std::u16string& path) {
  detail::Guard guard(detail::StateLock());
  std::u16string key = Normalise(path);
  AddParents(Files(), key);
  Files().directories.insert(key);
}

const std::vector<std::u16string>& OpenedPaths() {
  detail::Guard guard(detail::StateLock());
  return Files().openedPaths;
}

int OpenFiles() {
  detail::Guard guard(detail::StateLock());
  return static_cast<int>(Files().open.size());
}

namespace detail {

bool PathExists(const std::u16string& path) {
  Guard guard(StateLock());
  std::u16string key = Normalise(path);
  return Files().files.count(key) || Files().directories.count(key);
}

}  // namespace detail

}  // namespace emu

namespace sys {

FILE* _wfopen(const char16_t* path, const char16_t* mode) {
  using namespace emu;
  std::int32_t code = 0;
  {
    detail::Guard guard(detail::StateLock());
    Files().openedPaths.push_back(path ? std::u16string(path) : std::u16string());
  }
  if (detail::CallFails(Call::_wfopen, &code)) {
    detail::SetLastErrorCode(static_cast<DWORD>(code));
    errno = ErrnoFor(code);
    return nullptr;
  }
  std::u16string modeText = mode ? std::u16string(mode) : std::u16string();
  if (!path || modeText.empty() || modeText[0] != u'r' || modeText.find(u'+') != std::u16string::npos) {
    // Only reading is emulated; the module never writes files.
    errno = EINVAL;
    return nullptr;
  }
  bool binary = modeText.find(u'b') != std::u16string::npos;

  auto stream = std::make_unique<Stream>();
  {
    detail::Guard guard(detail::StateLock());
    FileState& state = Files();
    std::u16string key = Normalise(path);
    auto it = state.files.find(key);
    if (it == state.files.end()) {
      errno = state.directories.count(key) ? EACCES : ENOENT;
      detail::SetLastErrorCode(state.directories.count(key) ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    const FileEntry& entry = it->second;
    stream->data = binary ? entry.bytes : std::make_shared<const std::string>(TextModeBytes(*entry.bytes));
    stream->endOffset =
        entry.behaviour == Behaviour::kShrinking ? entry.claimedSize : static_cast<long>(entry.bytes->size());
    stream->seekable = entry.behaviour != Behaviour::kUnseekable;
  }
#ifdef _WIN32
  FILE* file = std::tmpfile();
  if (!file) return nullptr;
  if (std::fwrite(stream->data->data(), 1, stream->data->size(), file) != stream->data->size()) {
    ::fclose(file);
    return nullptr;
  }
  std::rewind(file);
#else
  cookie_io_functions_t functions{};
  functions.read = StreamRead;
  functions.seek = StreamSeek;
  functions.close = StreamClose;
  FILE* file = fopencookie(stream.get(), "r", functions);
  if (!file) return nullptr;
  static_cast<void>(stream.release());  // the FILE holds it now; StreamClose deletes it
#endif
  detail::Guard guard(detail::StateLock());
  Files().open.insert(file);
  return file;
}

int fclose(FILE* file) {
  {
    emu::detail::Guard guard(emu::detail::StateLock());
    emu::Files().open.erase(file);
  }
  return ::fclose(file);
}

int fseek(FILE* file, long offset, int origin) { return ::fseek(file, offset, origin); }
long ftell(FILE* file) { return ::ftell(file); }
std::size_t fread(void* buffer, std::size_t size, std::size_t count, FILE* file) {
  return ::fread(buffer, size, count, file);
}
int fgetc(FILE* file) { return ::fgetc(file); }

}  // namespace sys
