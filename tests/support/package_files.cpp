#include "support/package_files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/emulated/emulator.h"
#endif

std::string ScriptWithClassId(const std::string& idText) {
  return "HKCR\n{\n\tTarvo.Style.1 = s 'Style'\n\t{\n\t\tCLSID = s '" + idText +
         "'\n\t}\n\tNoRemove CLSID\n\t{\n\t\tForceRemove " + idText + " = s 'Style'\n\t}\n}\n";
}

std::string AuthorScript(const std::string& progId, const std::string& idText, const std::string& threading) {
  return "HKCR\r\n{\r\n"
         "\t" +
         progId + " = s 'Tarvo package'\r\n\t{\r\n\t\tCLSID = s '" + idText +
         "'\r\n\t}\r\n"
         "\tNoRemove CLSID\r\n\t{\r\n"
         "\t\tForceRemove " +
         idText +
         " = s 'Tarvo package'\r\n\t\t{\r\n"
         "\t\t\tProgID = s '" +
         progId +
         "'\r\n"
         "\t\t\tInprocServer32 = s '%Module%'\r\n\t\t\t{\r\n"
         "\t\t\t\tval ThreadingModel = s '" +
         threading +
         "'\r\n"
         "\t\t\t}\r\n\t\t}\r\n\t}\r\n}\r\n";
}

std::u16string PackageFiles::PutPackage(const std::u16string& name, const std::string& style,
                                        const std::string& styleText) {
  Put(name + u"\\Style.rgs", style);
  Put(name + u"\\StyleText.rgs", styleText);
  return root_ + name + u"\\";
}

#ifdef _WIN32

namespace {
const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
}  // namespace

PackageFiles::PackageFiles() {
  static int counter = 0;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  std::string unique = "StubPkg" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(counter++);
  root_ = reinterpret_cast<const char16_t*>(temp) + std::u16string(unique.begin(), unique.end());
  if (CreateDirectoryW(W(root_), nullptr)) folders_.push_back(root_);
  root_ += u"\\";
}

PackageFiles::~PackageFiles() {
  for (const std::u16string& file : files_) DeleteFileW(W(file));
  for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) RemoveDirectoryW(W(*it));
}

std::u16string PackageFiles::Put(const std::u16string& relative, const std::string& bytes) {
  for (std::size_t slash = relative.find(u'\\'); slash != std::u16string::npos;
       slash = relative.find(u'\\', slash + 1)) {
    std::u16string folder = root_ + relative.substr(0, slash);
    if (CreateDirectoryW(W(folder), nullptr)) folders_.push_back(folder);
  }
  std::u16string path = root_ + relative;
  HANDLE file = CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    files_.push_back(path);
  }
  return path;
}

#else  // emulated platform

PackageFiles::PackageFiles() : root_(u"C:\\PackageTests\\") {}

PackageFiles::~PackageFiles() {
  for (const std::u16string& file : files_) emu::RemoveFile(file);
}

std::u16string PackageFiles::Put(const std::u16string& relative, const std::string& bytes) {
  std::u16string path = root_ + relative;
  emu::PutFile(path, bytes);
  files_.push_back(path);
  return path;
}

#endif
