// The lists the catalog hands out (packages, classes): Count, Item and
// _NewEnum over items it holds one reference to each, and the IEnumVARIANT
// that _NewEnum gives.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "dual_object.h"
#include "lock_holds.h"
#include "platform/unique_resource.h"
#include "unknown_object.h"

namespace catalog {

// One reference to each item of a list, taken here.
template <class ItemInterface>
std::vector<CInterfacePtr<ItemInterface>> ShareItems(const std::vector<ItemInterface*>& items) {
  std::vector<CInterfacePtr<ItemInterface>> shared;
  shared.reserve(items.size());
  for (ItemInterface* item : items) {
    item->AddRef();
    shared.emplace_back(item);  // never grows past the reserve
  }
  return shared;
}

// The items of a list, borrowed, as the enumerator takes them.
template <class ItemInterface>
std::vector<IDispatch*> Borrowed(const std::vector<CInterfacePtr<ItemInterface>>& items) {
  std::vector<IDispatch*> borrowed;
  borrowed.reserve(items.size());
  for (const CInterfacePtr<ItemInterface>& item : items) borrowed.push_back(item.Get());
  return borrowed;
}

// ---- The enumerator of a list -------------------------------------------------------

class ItemEnumerator final : public UnknownObject<HeapReferences, IEnumVARIANT, ISupportErrorInfo> {
 public:
  ItemEnumerator(const std::vector<IDispatch*>& items, size_t next)
      : items_(ShareItems(items)), next_(next) {}

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsEqualIID(riid, IID_IEnumVARIANT) ? S_OK : S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* out, ULONG* fetched) override {
    if (!out || (count > 1 && !fetched)) return NullResult(IID_IEnumVARIANT, L"IEnumVARIANT::Next");
    ExclusiveHold hold(&lock_);
    ULONG given = 0;
    for (; given < count && next_ < items_.size(); ++given, ++next_) {
      VariantInit(&out[given]);
      out[given].vt = VT_DISPATCH;
      out[given].pdispVal = items_[next_].Get();
      items_[next_]->AddRef();
    }
    if (fetched) *fetched = given;
    return given == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    ExclusiveHold hold(&lock_);
    const size_t left = items_.size() - next_;
    next_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    ExclusiveHold hold(&lock_);
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** copy) override {
    if (!copy) return NullResult(IID_IEnumVARIANT, L"IEnumVARIANT::Clone");
    return Guarded([&] {
      size_t next;
      {
        SharedHold hold(&lock_);
        next = next_;
      }
      *copy = new ItemEnumerator(Borrowed(items_), next);
      return S_OK;
    });
  }

 private:
  void* Find(REFIID riid) override {
    if (IsEqualIID(riid, IID_IEnumVARIANT)) return static_cast<IEnumVARIANT*>(this);
    return IsEqualIID(riid, IID_ISupportErrorInfo) ? static_cast<ISupportErrorInfo*>(this) : nullptr;
  }

  SRWLOCK lock_ = SRWLOCK_INIT;
  // Set once, at construction: read without the lock.
  const std::vector<CInterfacePtr<IDispatch>> items_;
  size_t next_;
};

// ---- A list of items ----------------------------------------------------------------

// A read-only list; owns one reference to each item.
template <class ListInterface, const IID* kIid, class ItemInterface>
class ListObject final : public DualObject<ListInterface, kIid> {
 public:
  ListObject() = default;
  // Takes over the references to the items (moving the vector cannot fail).
  void Adopt(std::vector<CInterfacePtr<ItemInterface>> items) { items_ = std::move(items); }

  HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
    if (!count) return NullResult(*kIid, L"Count");
    *count = static_cast<LONG>(items_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Item(LONG index, ItemInterface** item) override {
    if (!item) return NullResult(*kIid, L"Item");
    *item = nullptr;
    if (index < 0 || static_cast<size_t>(index) >= items_.size()) {
      return Fail(E_INVALIDARG, *kIid,
                  L"Index " + std::to_wstring(index) + L" is outside the list: use 0 to Count - 1 (" +
                      std::to_wstring(items_.size()) + L" items).");
    }
    *item = items_[index].Get();
    (*item)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** enumerator) override {
    if (!enumerator) return NullResult(*kIid, L"_NewEnum");
    *enumerator = nullptr;
    return Guarded([&] {
      *enumerator = static_cast<IEnumVARIANT*>(new ItemEnumerator(Borrowed(items_), 0));
      return S_OK;
    });
  }

 private:
  std::vector<CInterfacePtr<ItemInterface>> items_;
};

}  // namespace catalog
