// Reading the class identifier a package script names, the way the module
// reads it while it loads, but without showing anything: a host learns here
// what would have stopped the load on an "Invalid GUID!" box.
#include "identifier_scan.h"
#include "owners.h"
#include "stub/stub_host.h"

namespace stub {
namespace host {
namespace {

// Gives a file's bytes one at a time through a buffer.
class ByteReader {
 public:
  explicit ByteReader(HANDLE file) : file_(file) {}
  int operator()() {
    if (position_ == filled_) {
      DWORD read = 0;
      if (!ReadFile(file_, buffer_, sizeof buffer_, &read, nullptr) || read == 0) return -1;
      filled_ = read;
      position_ = 0;
    }
    return buffer_[position_++];
  }

 private:
  HANDLE file_;
  unsigned char buffer_[4096];
  DWORD filled_ = 0;
  DWORD position_ = 0;
};

}  // namespace

std::wstring PackageFolder(const std::wstring& modulePath) {
  if (modulePath.size() <= 4) return std::wstring();
  return modulePath.substr(0, modulePath.size() - 4);
}

HRESULT ReadScriptClassId(const std::wstring& scriptPath, CLSID& clsid, std::wstring& text) {
  text.clear();
  // Shared as the C runtime's fopen shares: others may read and write meanwhile.
  const detail::UniqueFile file(CreateFileW(scriptPath.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    return HRESULT_FROM_WIN32(error ? error : ERROR_OPEN_FAILED);
  }
  // A pipe or a device is no script, and reading one could wait for good.
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) return HRESULT_FROM_WIN32(ERROR_BAD_FILE_TYPE);
  const std::string scanned = detail::ScanIdentifierText(ByteReader(file.Get()));
  text.assign(scanned.begin(), scanned.end());
  // An empty text is refused before it is parsed: some COM runtimes read it
  // as the null identifier, and the module refuses it too.
  if (text.empty()) return CO_E_CLASSSTRING;
  CLSID parsed = {};
  const HRESULT result = CLSIDFromString(text.c_str(), &parsed);
  if (FAILED(result)) return result;
  clsid = parsed;
  return S_OK;
}

}  // namespace host
}  // namespace stub
