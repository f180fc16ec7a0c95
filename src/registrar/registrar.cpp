#include "registrar/registrar.h"

#include <cstring>

#include "platform/unique_resource.h"

namespace {

// A task-memory copy of `text` with its terminator; null when out of memory.
char16_t* CopyText(const char16_t* text) {
  const std::size_t units = static_cast<std::size_t>(sys::lstrlenW(text)) + 1;
  auto* copy = static_cast<char16_t*>(sys::CoTaskMemAlloc(units * sizeof(char16_t)));
  if (copy) std::memcpy(copy, text, units * sizeof(char16_t));
  return copy;
}

// Grows `array` to `count` pointers, the new last one null; false (array
// untouched) when out of memory.
bool GrowArray(char16_t**& array, int count) {
  void* grown = sys::CoTaskMemRealloc(array, static_cast<std::size_t>(count) * sizeof(char16_t*));
  if (!grown) return false;
  array = static_cast<char16_t**>(grown);
  array[count - 1] = nullptr;
  return true;
}

}  // namespace

bool ReplacementMap::Add(const char16_t* name, const char16_t* value) {
  if (!name || !value) return false;
  CTaskMemory<char16_t> nameCopy(CopyText(name));
  if (!nameCopy) return false;
  CTaskMemory<char16_t> valueCopy(CopyText(value));
  if (!valueCopy || !AppendPair(nameCopy.Get(), valueCopy.Get())) return false;
  // The map's arrays own the pair now.
  nameCopy.Take();
  valueCopy.Take();
  return true;
}

// The names array may keep one spare element when only the values array
// failed to grow; count and the pairs stay as they were.
bool ReplacementMap::AppendPair(char16_t* name, char16_t* value) {
  if (count_ == 0x7FFFFFFF / static_cast<int>(sizeof(char16_t*))) return false;
  if (!GrowArray(names_, count_ + 1)) return false;
  if (!GrowArray(values_, count_ + 1)) return false;
  names_[count_] = name;
  values_[count_] = value;
  ++count_;
  return true;
}

int ReplacementMap::IndexOf(const char16_t* name) const {
  for (int i = 0; i < count_; ++i) {
    if (sys::lstrcmpiW(names_[i], name) == 0) return i;
  }
  return -1;
}

const char16_t* ReplacementMap::Lookup(const char16_t* name) const {
  const int i = IndexOf(name);
  return i < 0 ? nullptr : values_[i];
}

HRESULT ReplacementMap::Clear() {
  for (int i = 0; i < count_; ++i) {
    sys::CoTaskMemFree(names_[i]);
    sys::CoTaskMemFree(values_[i]);
  }
  ReleaseStorage();
  return S_OK;
}

void ReplacementMap::ReleaseStorage() {
  sys::CoTaskMemFree(names_);
  sys::CoTaskMemFree(values_);
  names_ = nullptr;
  values_ = nullptr;
  count_ = 0;
}

HRESULT STDMETHODCALLTYPE CRegistrar::QueryInterface(REFIID, void**) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CRegistrar::DefineReplacement(const char16_t* name,
                                                        const char16_t* value) {
  if (!name || !value) return E_INVALIDARG;
  return map_.Add(name, value) ? S_OK : E_OUTOFMEMORY;
}
