#include "real_registry.h"

#include <windows.h>
#include <objbase.h>

namespace real {
namespace {

const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

constexpr DWORD kNameCapacity = 16384;

void ReadValues(HKEY key, const std::u16string& path, std::vector<Key>* keys) {
  Key entry;
  entry.path = path;
  std::vector<wchar_t> name(kNameCapacity);
  for (DWORD i = 0;; ++i) {
    DWORD nameLength = kNameCapacity, type = 0, size = 0;
    if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
      break;
    }
    Value value;
    value.type = type;
    value.data.resize(size);
    nameLength = kNameCapacity;
    if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, value.data.data(), &size) !=
        ERROR_SUCCESS) {
      continue;
    }
    value.name.assign(reinterpret_cast<const char16_t*>(name.data()), nameLength);
    value.data.resize(size);
    entry.values.push_back(std::move(value));
  }
  keys->push_back(std::move(entry));
}

std::vector<std::u16string> Subkeys(HKEY key) {
  std::vector<std::u16string> names;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    names.emplace_back(reinterpret_cast<const char16_t*>(name), length);
  }
  return names;
}

std::u16string Fold(const std::u16string& text) {
  std::u16string out = text;
  for (char16_t& c : out) {
    // As the checker folds: ASCII and the Latin-1 capitals.
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) c += 32;
  }
  return out;
}

// Calls `read` with the child `name` of `key` opened for reading.
template <class Read>
void WithChild(HKEY key, const std::u16string& name, Read read) {
  HKEY child = nullptr;
  if (RegOpenKeyExW(key, W(name), 0, KEY_READ, &child) != ERROR_SUCCESS) return;
  read(child);
  RegCloseKey(child);
}

void ReadTree(HKEY key, const std::u16string& path, std::vector<Key>* keys) {
  ReadValues(key, path, keys);
  for (const std::u16string& name : Subkeys(key)) {
    WithChild(key, name, [&](HKEY child) { ReadTree(child, path + u"\\" + name, keys); });
  }
}

void ReadScope(HKEY root, const std::u16string& rootName, const std::set<std::u16string>& names,
               const std::set<std::u16string>& shared, std::vector<Key>* keys) {
  // A root is listed for its values alone, as the checker lists it.
  ReadValues(root, rootName, keys);
  if (keys->back().values.empty()) keys->pop_back();
  for (const std::u16string& top : Subkeys(root)) {
    const std::u16string folded = Fold(top);
    if (!names.count(folded)) continue;
    const std::u16string path = rootName + u"\\" + top;
    WithChild(root, top, [&](HKEY key) {
      if (!shared.count(folded)) {
        ReadTree(key, path, keys);
        return;
      }
      ReadValues(key, path, keys);
      const std::vector<std::u16string> children = Subkeys(key);
      for (std::size_t i = 0; i < children.size(); ++i) {
        if (i != 0 && !names.count(Fold(children[i]))) continue;
        WithChild(key, children[i], [&](HKEY child) { ReadTree(child, path + u"\\" + children[i], keys); });
      }
    });
  }
}

}  // namespace

std::vector<Key> ReadRegistry(const std::set<std::u16string>& names, const std::set<std::u16string>& shared) {
  std::vector<Key> keys;
  ReadScope(HKEY_CLASSES_ROOT, u"HKEY_CLASSES_ROOT", names, shared, &keys);
  ReadScope(HKEY_CURRENT_USER, u"HKEY_CURRENT_USER", names, shared, &keys);
  return keys;
}

ModuleRun RunModule(const std::u16string& modulePath, const std::set<std::u16string>& names,
                    const std::set<std::u16string>& shared) {
  ModuleRun run;
  // As regsvr32 does: the categories manager is a COM object.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  HMODULE module = LoadLibraryW(W(modulePath));
  if (!module) {
    run.loadError = GetLastError();
    if (SUCCEEDED(com)) CoUninitialize();
    return run;
  }
  run.loaded = true;
  using Entry = HRESULT(STDAPICALLTYPE*)();
  auto registerServer =
      reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
  auto unregisterServer =
      reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
  run.registration = registerServer ? registerServer() : E_NOTIMPL;
  run.registered = ReadRegistry(names, shared);
  run.removal = unregisterServer ? unregisterServer() : E_NOTIMPL;
  run.removed = ReadRegistry(names, shared);
  FreeLibrary(module);
  if (SUCCEEDED(com)) CoUninitialize();
  return run;
}

bool MakeFolder(const std::u16string& path) {
  return CreateDirectoryW(W(path), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool WriteFile(const std::u16string& path, const std::string& bytes) {
  HANDLE file =
      CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

bool CopyInto(const std::u16string& from, const std::u16string& to) {
  return CopyFileW(W(from), W(to), FALSE) != 0;
}

}  // namespace real
