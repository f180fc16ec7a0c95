#include "package/script_files.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "package/class_server.h"
#include "package/message_box.h"
#include "package/message_captions.h"
#include "package/module_path.h"
#include "package/package_classes.h"
#include "registrar/registrar.h"

namespace {

// A new zero-filled heap block for the caller to own; null when out of memory.
void* ZeroedBlock(std::size_t bytes) {
  auto* block = static_cast<unsigned char*>(sys::MemAlloc(bytes));
  if (block) {
    for (std::size_t i = 0; i < bytes; ++i) block[i] = 0;
  }
  return block;
}

// The byte count of an open file, the position left at its start; -1 when the
// file cannot be sized (a device or pipe, or a seek that fails).
long FileSize(FILE* file) {
  if (sys::fseek(file, 0, SEEK_END) != 0) return -1;
  const long size = sys::ftell(file);
  if (size < 0 || sys::fseek(file, 0, SEEK_SET) != 0) return -1;
  return size;
}

// True when `size` bytes and size + 1 wide characters can be allocated and
// counted in the int of the conversion call.
bool TextFits(long size) {
  return static_cast<unsigned long>(size) < static_cast<unsigned long>(INT_MAX) &&
         static_cast<std::uintmax_t>(size) < SIZE_MAX / sizeof(char16_t);
}

}  // namespace

HRESULT LoadScriptText(const char16_t* scriptPath, CHeapMemory<char16_t>* text) {
  if (!text) return E_POINTER;
  text->Reset();
  CHeapMemory<char> bytes;
  std::size_t byteCount = 0;
  {
    // A script that cannot be read whole must not run in part: it would
    // register some keys and report the rest as if the script ended there.
    CUniqueFile file(sys::_wfopen(scriptPath, u"rb"));
    const long size = file ? FileSize(file.Get()) : -1;
    if (size >= 0) {
      if (!TextFits(size)) return E_OUTOFMEMORY;
      byteCount = static_cast<std::size_t>(size);
      bytes.Reset(static_cast<char*>(ZeroedBlock(byteCount + 1)));
      if (!bytes) return E_OUTOFMEMORY;
    }
    if (size < 0 || sys::fread(bytes.Get(), 1, byteCount, file.Get()) != byteCount) {
      ShowMessageBox(scriptPath, kLoadFailedCaption);
      return E_INVALIDARG;
    }
  }  // the bytes are all in memory: the file is closed before the conversion

  CHeapMemory<char16_t> wide(static_cast<char16_t*>(ZeroedBlock((byteCount + 1) * sizeof(char16_t))));
  if (!wide) return E_OUTOFMEMORY;
  // UTF-8 never needs more UTF-16 units than bytes, and the zeroed spare unit
  // terminates the text whatever the conversion answers. Bytes that are no
  // UTF-8 become U+FFFD; a byte-order mark is kept as U+FEFF.
  if (byteCount > 0) {
    sys::MultiByteToWideChar(CP_UTF8, 0, bytes.Get(), static_cast<int>(byteCount), wide.Get(),
                             static_cast<int>(byteCount));
  }
  text->Reset(wide.Take());
  return S_OK;
}

HRESULT RunScriptFile(const char16_t* moduleLongPath, const char16_t* scriptPath, ScriptMode mode,
                      ScriptOutcome* outcome) {
  CRegistrar registrar;
  ScriptParser parser(&registrar);
  // Should this fail, %Module% is an unknown name and the run refuses the script.
  registrar.DefineReplacement(u"Module", moduleLongPath);

  CHeapMemory<char16_t> text;
  HRESULT result = LoadScriptText(scriptPath, &text);
  if (FAILED(result)) return result;
  return parser.RunScript(text.Get(), mode, outcome);
}

HRESULT RunPackageScripts(const char16_t* moduleLongPath, const char16_t* directory, ScriptMode mode,
                          PackageOutcome* outcome) {
  HRESULT result = S_OK;
  bool kept[std::size(PackageClasses)] = {};
  for (int i = 0; i < static_cast<int>(std::size(PackageClasses)); ++i) {
    if (outcome) *outcome = PackageOutcome{i, ScriptOutcome{}, {kept[0], kept[1]}};
    if (mode == ScriptMode::kRemove &&
        FindClassServer(*PackageClasses[i].classId, moduleLongPath) == ClassServer::kOtherModule) {
      kept[i] = true;
      if (outcome) outcome->kept[i] = true;
      continue;
    }
    char16_t path[kScriptPathCapacity];
    if (!JoinPath(directory, PackageClasses[i].scriptName, path)) return E_INVALIDARG;
    result = RunScriptFile(moduleLongPath, path, mode, outcome ? &outcome->run : nullptr);
    if (result != S_OK) return result;
  }
  if (outcome) outcome->script = -1;
  return result;
}
