// Reading a package's assembly manifest (its comClass entries) and making
// activation contexts of it.
#include "manifest.h"

#include <cstddef>

#include "manifest_screen.h"

namespace stub {
namespace host {
namespace detail {
namespace {

// "An operation is not supported on a directory" (winerror.h's
// ERROR_DIRECTORY_NOT_SUPPORTED, which older headers lack).
constexpr DWORD kErrorDirectoryNotSupported = 336;

// Reads a whole manifest, no larger than the screen takes. Answers S_OK, or
// the error as an HRESULT: a folder, a pipe or a device is no manifest, and
// is not opened for reading where opening could wait.
HRESULT ReadWholeFile(const std::wstring& path, std::string& bytes) {
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return HRESULT_FROM_WIN32(kErrorDirectoryNotSupported);
    }
    return HRESULT_FROM_WIN32(error ? error : ERROR_OPEN_FAILED);
  }
  HRESULT result = S_OK;
  LARGE_INTEGER size = {};
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) {
    result = HRESULT_FROM_WIN32(ERROR_BAD_FILE_TYPE);
  } else if (!GetFileSizeEx(file.Get(), &size)) {
    result = HRESULT_FROM_WIN32(GetLastError());
  } else if (size.QuadPart > static_cast<LONGLONG>(kManifestSizeLimit)) {
    result = HRESULT_FROM_WIN32(ERROR_SXS_MANIFEST_TOO_BIG);
  } else {
    bytes.assign(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() &&
        !(ReadFile(file.Get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) &&
          got == bytes.size())) {
      result = HRESULT_FROM_WIN32(ERROR_READ_FAULT);
    }
  }
  return result;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], units);
  return wide;
}

// The system error that stands for each reason the screen refuses a manifest.
DWORD FaultError(ManifestFault fault) {
  switch (fault) {
    case ManifestFault::None:
      return ERROR_SUCCESS;
    case ManifestFault::TooLarge:
      return ERROR_SXS_MANIFEST_TOO_BIG;
    case ManifestFault::NotXml:
    case ManifestFault::DocumentType:
    case ManifestFault::NotAssembly:
      return ERROR_SXS_MANIFEST_PARSE_ERROR;
    case ManifestFault::SecondDeclaration:
      return ERROR_SXS_XML_E_BADXMLDECL;
    case ManifestFault::TooDeep:
      return ERROR_SXS_MANIFEST_FORMAT_ERROR;
    case ManifestFault::DuplicateAttribute:
      return ERROR_SXS_XML_E_DUPLICATEATTRIBUTE;
    case ManifestFault::MissingIdentity:
      return ERROR_SXS_MISSING_ASSEMBLY_IDENTITY_ATTRIBUTE;
    case ManifestFault::BadVersion:
      return ERROR_SXS_INVALID_IDENTITY_ATTRIBUTE_VALUE;
    case ManifestFault::NoClassId:
      return ERROR_SXS_INVALID_ACTCTXDATA_FORMAT;
    case ManifestFault::Markup:
      return ERROR_SXS_MANIFEST_PARSE_ERROR;
    case ManifestFault::ClassInTwoFiles:
      return ERROR_SXS_DUPLICATE_CLSID;
  }
  return ERROR_SXS_MANIFEST_PARSE_ERROR;
}

}  // namespace

HRESULT ReadManifest(const std::wstring& path, std::vector<ManifestClass>& classes) {
  classes.clear();
  std::string bytes;
  const HRESULT read = ReadWholeFile(path, bytes);
  if (FAILED(read)) return read;
  const ManifestScreen screen = ScreenManifest(bytes);
  for (const ScreenedClass& entry : screen.classes) {
    classes.push_back({Wide(entry.file), Wide(entry.clsid), Wide(entry.progId),
                       Wide(entry.versionIndependentProgId), Wide(entry.threadingModel),
                       Wide(entry.description)});
  }
  return screen.fault == ManifestFault::None ? S_OK : HRESULT_FROM_WIN32(FaultError(screen.fault));
}

bool ReadManifestClasses(const std::wstring& path, std::vector<ManifestClass>& classes) {
  const HRESULT result = ReadManifest(path, classes);
  return SUCCEEDED(result) || HRESULT_CODE(result) >= ERROR_SXS_SECTION_NOT_FOUND;
}

HRESULT ActivationContext::Create(const std::wstring& manifestPath, const std::wstring& directory) {
  context_.Reset();
  ACTCTXW description = {};
  description.cbSize = sizeof description;
  description.dwFlags = ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID;
  description.lpSource = manifestPath.c_str();
  description.lpAssemblyDirectory = directory.c_str();
  context_.Reset(CreateActCtxW(&description));
  if (context_) return S_OK;
  const DWORD error = GetLastError();
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

HRESULT ActivationContext::CreateFromResource(const std::wstring& module, const std::wstring& directory) {
  context_.Reset();
  ACTCTXW description = {};
  description.cbSize = sizeof description;
  description.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID;
  description.lpSource = module.c_str();
  description.lpResourceName = MAKEINTRESOURCEW(1);
  description.lpAssemblyDirectory = directory.c_str();
  context_.Reset(CreateActCtxW(&description));
  if (context_) return S_OK;
  const DWORD error = GetLastError();
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

bool ActivationContext::ServesClass(const CLSID& clsid) const {
  if (!context_) return false;
  ActiveContext active(context_.Get());
  if (!active.active()) return false;
  ACTCTX_SECTION_KEYED_DATA data = {};
  data.cbSize = sizeof data;
  if (!FindActCtxSectionGuid(FIND_ACTCTX_SECTION_KEY_RETURN_HACTCTX, nullptr,
                             ACTIVATION_CONTEXT_SECTION_COM_SERVER_REDIRECTION, &clsid, &data)) {
    return false;
  }
  // The answer may come from the process's default context (the
  // application's own manifest): only this context's own counts. The
  // reference it comes with is given back here (none comes as null).
  const UniqueActivationContext found(data.hActCtx ? data.hActCtx : UniqueActivationContext::Empty());
  return found.Get() == context_.Get();
}

}  // namespace detail
}  // namespace host
}  // namespace stub
