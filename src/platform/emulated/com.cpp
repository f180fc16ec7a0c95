// The emulated COM runtime: a class table in place of the registry-driven
// activation, task memory, identifier parsing, and the standard component
// categories manager.
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "platform/emulated/internal.h"

namespace emu {
namespace {

constexpr CLSID kCategoriesManager = {0x0002E005, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID kCatRegisterInterface = {0x0002E012, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

HRESULT FromWin32(LONG code) {
  return code <= 0 ? static_cast<HRESULT>(code)
                   : static_cast<HRESULT>(0x80070000u | (static_cast<std::uint32_t>(code) & 0xFFFF));
}

// The categories manager writes through the emulated registry directly: its
// writes are the system's, not the module's, so they are neither counted as
// the module's registry calls nor hit by faults injected into them.
class CCategoriesManager final : public ICatRegister {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!SameGuid(riid, IID_IUnknown) && !SameGuid(riid, kCatRegisterInterface)) {
      return E_NOINTERFACE;
    }
    AddRef();
    *object = static_cast<ICatRegister*>(this);
    return S_OK;
  }
  ULONG AddRef() override { return __atomic_add_fetch(&references_, 1, __ATOMIC_SEQ_CST); }
  ULONG Release() override {
    ULONG left = __atomic_sub_fetch(&references_, 1, __ATOMIC_SEQ_CST);
    if (left == 0) delete this;
    return left;
  }

  HRESULT RegisterCategories(ULONG count, CATEGORYINFO* infos) override {
    if (count && !infos) return E_POINTER;
    for (ULONG i = 0; i < count; ++i) {
      // The description is stored under the locale in hexadecimal, upper case,
      // without leading zeros ("409" for U.S. English).
      char hex[16];
      std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(infos[i].lcid));
      std::u16string valueName(hex, hex + std::strlen(hex));
      std::size_t length = 0;
      while (length < 127 && infos[i].szDescription[length]) ++length;
      std::u16string description(infos[i].szDescription, length);
      LONG status = detail::SetValueAt(HKEY_CLASSES_ROOT, CategoryPath(infos[i].catid), valueName, REG_SZ,
                                       description.c_str(), (description.size() + 1) * sizeof(char16_t));
      if (status != ERROR_SUCCESS) return FromWin32(status);
    }
    return S_OK;
  }

  HRESULT UnRegisterCategories(ULONG count, CATID* ids) override {
    if (count && !ids) return E_POINTER;
    for (ULONG i = 0; i < count; ++i) {
      LONG status = detail::DeleteTreeAt(HKEY_CLASSES_ROOT, CategoryPath(ids[i]));
      if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return FromWin32(status);
    }
    return S_OK;
  }

  HRESULT RegisterClassImplCategories(REFCLSID clsid, ULONG count, CATID* ids) override {
    return RegisterClassCategories(clsid, u"Implemented Categories", count, ids);
  }
  HRESULT UnRegisterClassImplCategories(REFCLSID clsid, ULONG count, CATID* ids) override {
    return UnRegisterClassCategories(clsid, u"Implemented Categories", count, ids);
  }
  HRESULT RegisterClassReqCategories(REFCLSID clsid, ULONG count, CATID* ids) override {
    return RegisterClassCategories(clsid, u"Required Categories", count, ids);
  }
  HRESULT UnRegisterClassReqCategories(REFCLSID clsid, ULONG count, CATID* ids) override {
    return UnRegisterClassCategories(clsid, u"Required Categories", count, ids);
  }

 private:
  static std::u16string CategoryPath(const CATID& id) { return u"Component Categories\\" + GuidText(id); }
  static std::u16string ClassPath(const CLSID& clsid) { return u"CLSID\\" + GuidText(clsid); }

  static HRESULT RegisterClassCategories(const CLSID& clsid, const std::u16string& list, ULONG count,
                                         CATID* ids) {
    if (count && !ids) return E_POINTER;
    for (ULONG i = 0; i < count; ++i) {
      LONG status = detail::CreateKeyPath(HKEY_CLASSES_ROOT,
                                          ClassPath(clsid) + u"\\" + list + u"\\" + GuidText(ids[i]));
      if (status != ERROR_SUCCESS) return FromWin32(status);
    }
    return S_OK;
  }

  // The list key itself stays, possibly empty, as on Windows; a class that was
  // never registered is a failure.
  static HRESULT UnRegisterClassCategories(const CLSID& clsid, const std::u16string& list, ULONG count,
                                           CATID* ids) {
    if (count && !ids) return E_POINTER;
    if (!KeyExists(HKEY_CLASSES_ROOT, ClassPath(clsid))) return E_FAIL;
    for (ULONG i = 0; i < count; ++i) {
      LONG status =
          detail::DeleteTreeAt(HKEY_CLASSES_ROOT, ClassPath(clsid) + u"\\" + list + u"\\" + GuidText(ids[i]));
      if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return FromWin32(status);
    }
    return S_OK;
  }

  ULONG references_ = 1;
};

HRESULT CreateCategoriesManager(IUnknown* outer, REFIID riid, void** object) {
  if (outer) return CLASS_E_NOAGGREGATION;
  auto* manager = new CCategoriesManager;
  HRESULT result = manager->QueryInterface(riid, object);
  manager->Release();
  return result;
}

struct ClassEntry {
  CLSID clsid;
  Creator creator;
};

struct ComState {
  std::vector<ClassEntry> classes;
  std::unordered_set<void*> taskBlocks;

  ComState() { classes.push_back({kCategoriesManager, CreateCategoriesManager}); }
};

ComState& Com() {
  static ComState state;
  return state;
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads `digits` hex digits at `text`; false if any is not a hex digit.
bool ReadHex(const char16_t* text, int digits, std::uint32_t* value) {
  *value = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexValue(text[i]);
    if (d < 0) return false;
    *value = (*value << 4) | static_cast<std::uint32_t>(d);
  }
  return true;
}

// The braced form, exactly 38 characters: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
bool ParseBracedGuid(const char16_t* text, GUID* guid) {
  if (detail::Length(text) != 38) return false;
  if (text[0] != u'{' || text[9] != u'-' || text[14] != u'-' || text[19] != u'-' || text[24] != u'-' ||
      text[37] != u'}') {
    return false;
  }
  std::uint32_t value;
  if (!ReadHex(text + 1, 8, &value)) return false;
  guid->Data1 = value;
  if (!ReadHex(text + 10, 4, &value)) return false;
  guid->Data2 = static_cast<std::uint16_t>(value);
  if (!ReadHex(text + 15, 4, &value)) return false;
  guid->Data3 = static_cast<std::uint16_t>(value);
  static const int kByteOffsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text + kByteOffsets[i], 2, &value)) return false;
    guid->Data4[i] = static_cast<std::uint8_t>(value);
  }
  return true;
}

void* AllocateTask(void* old, std::size_t bytes) {
  if (detail::AllocationFails()) return nullptr;
  void* block = std::realloc(old, bytes ? bytes : 1);
  if (!block) return nullptr;
  detail::Guard guard(detail::StateLock());
  if (old) Com().taskBlocks.erase(old);
  Com().taskBlocks.insert(block);
  return block;
}

}  // namespace

namespace detail {

void ResetCom() { Com() = ComState(); }

}  // namespace detail

std::u16string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return std::u16string(text, text + std::strlen(text));
}

void RegisterClass(const CLSID& clsid, Creator creator) {
  detail::Guard guard(detail::StateLock());
  for (ClassEntry& entry : Com().classes) {
    if (SameGuid(entry.clsid, clsid)) {
      entry.creator = std::move(creator);
      return;
    }
  }
  Com().classes.push_back({clsid, std::move(creator)});
}

void UnregisterClass(const CLSID& clsid) {
  detail::Guard guard(detail::StateLock());
  auto& classes = Com().classes;
  for (auto it = classes.begin(); it != classes.end(); ++it) {
    if (SameGuid(it->clsid, clsid)) {
      classes.erase(it);
      return;
    }
  }
}

int LiveTaskMemBlocks() {
  detail::Guard guard(detail::StateLock());
  return static_cast<int>(Com().taskBlocks.size());
}

}  // namespace emu

namespace sys {

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** object) {
  std::int32_t code = 0;
  if (emu::detail::CallFails(emu::Call::CoCreateInstance, &code)) {
    if (object) *object = nullptr;
    return code;
  }
  if (!object) return E_POINTER;
  *object = nullptr;
  emu::Creator creator;
  if (context & CLSCTX_INPROC) {
    emu::detail::Guard guard(emu::detail::StateLock());
    for (const emu::ClassEntry& entry : emu::Com().classes) {
      if (emu::SameGuid(entry.clsid, clsid)) creator = entry.creator;
    }
  }
  if (!creator) return REGDB_E_CLASSNOTREG;
  // Called without the state lock: a creator may itself use the platform, from
  // this thread or another.
  return creator(outer, riid, object);
}

HRESULT CLSIDFromString(const char16_t* text, CLSID* clsid) {
  std::int32_t code = 0;
  if (emu::detail::CallFails(emu::Call::CLSIDFromString, &code)) return code;
  if (!clsid) return E_INVALIDARG;
  // A null text is the null class identifier; an empty one is not an identifier.
  std::memset(clsid, 0, sizeof(CLSID));
  if (!text) return S_OK;
  GUID parsed;
  if (text[0] == u'{') {
    if (!emu::ParseBracedGuid(text, &parsed)) return CO_E_CLASSSTRING;
    *clsid = parsed;
    return S_OK;
  }
  // Anything else is a programmatic identifier: HKCR\<text>\CLSID holds the class.
  std::u16string classText;
  if (text[0] &&
      emu::detail::ReadStringValue(HKEY_CLASSES_ROOT, std::u16string(text) + u"\\CLSID", u"", &classText) &&
      emu::ParseBracedGuid(classText.c_str(), &parsed)) {
    *clsid = parsed;
    return S_OK;
  }
  return CO_E_CLASSSTRING;
}

void* CoTaskMemAlloc(std::size_t bytes) { return emu::AllocateTask(nullptr, bytes); }

void* CoTaskMemRealloc(void* block, std::size_t bytes) {
  if (block && bytes == 0) {
    // Shrinking to nothing frees the block, as the COM allocator does.
    CoTaskMemFree(block);
    return nullptr;
  }
  return emu::AllocateTask(block, bytes);
}

void CoTaskMemFree(void* block) {
  if (!block) return;
  {
    emu::detail::Guard guard(emu::detail::StateLock());
    emu::Com().taskBlocks.erase(block);
  }
  std::free(block);
}

void SetCategoryDescription(CATEGORYINFO& info, const char16_t* description) {
  constexpr int kCapacity = sizeof(info.szDescription) / sizeof(info.szDescription[0]);
  int i = 0;
  for (; description && description[i] && i < kCapacity - 1; ++i) {
    info.szDescription[i] = description[i];
  }
  info.szDescription[i] = 0;
}

}  // namespace sys
