#include "registrar/registrar.h"

#include <cstring>
#include <new>
#include <utility>

namespace {

// A task-memory copy of `text` with its terminator; null when out of memory.
char16_t* CopyText(const char16_t* text) {
  const std::size_t units = static_cast<std::size_t>(sys::lstrlenW(text)) + 1;
  auto* copy = static_cast<char16_t*>(sys::CoTaskMemAlloc(units * sizeof(char16_t)));
  if (copy) std::memcpy(copy, text, units * sizeof(char16_t));
  return copy;
}

}  // namespace

bool ReplacementMap::Add(const char16_t* name, const char16_t* value) {
  if (!name || !value) return false;
  CTaskMemory<char16_t> nameCopy(CopyText(name));
  if (!nameCopy) return false;
  CTaskMemory<char16_t> valueCopy(CopyText(value));
  return valueCopy && AppendPair(nameCopy, valueCopy);
}

// The names array may keep one spare (unused) element when only the values
// array failed to grow; count and the pairs stay as they were. The pair moves
// into the map only on success. An element is one pointer, so the elements
// move with the arrays' bytes.
bool ReplacementMap::AppendPair(CTaskMemory<char16_t>& name, CTaskMemory<char16_t>& value) {
  if (count_ == 0x7FFFFFFF / static_cast<int>(sizeof(char16_t*))) return false;
  const std::size_t bytes = static_cast<std::size_t>(count_ + 1) * sizeof(CTaskMemory<char16_t>);
  if (!ResizeTaskMemory(names_, bytes) || !ResizeTaskMemory(values_, bytes)) return false;
  new (&names_.Get()[count_]) CTaskMemory<char16_t>(std::move(name));
  new (&values_.Get()[count_]) CTaskMemory<char16_t>(std::move(value));
  ++count_;
  return true;
}

int ReplacementMap::IndexOf(const char16_t* name) const {
  for (int i = 0; i < count_; ++i) {
    if (sys::lstrcmpiW(NameAt(i), name) == 0) return i;
  }
  return -1;
}

const char16_t* ReplacementMap::Lookup(const char16_t* name) const {
  const int i = IndexOf(name);
  return i < 0 ? nullptr : ValueAt(i);
}

ReplacementMap::~ReplacementMap() { Clear(); }

HRESULT ReplacementMap::Clear() {
  for (int i = 0; i < count_; ++i) {
    names_.Get()[i].Close();
    values_.Get()[i].Close();
  }
  names_.Close();
  values_.Close();
  count_ = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CRegistrar::QueryInterface(REFIID, void**) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CRegistrar::DefineReplacement(const char16_t* name, const char16_t* value) {
  if (!name || !value) return E_INVALIDARG;
  return map_.Add(name, value) ? S_OK : E_OUTOFMEMORY;
}
