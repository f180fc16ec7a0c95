// The lists the catalog hands out (packages, classes): Count, Item and
// _NewEnum over items it holds one reference to each, and the IEnumVARIANT
// that _NewEnum gives.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "dual_object.h"
#include "lock_holds.h"

namespace catalog {

// Objects made for a new list, each with the one reference the list takes
// over; released here should making the rest fail.
template <class ItemInterface>
class NewItems {
 public:
  explicit NewItems(size_t count) { items_.reserve(count); }
  ~NewItems() {
    for (ItemInterface* item : items_) item->Release();
  }
  NewItems(const NewItems&) = delete;
  NewItems& operator=(const NewItems&) = delete;

  void Add(ItemInterface* item) { items_.push_back(item); }  // never grows past the reserve
  std::vector<ItemInterface*> Take() { return std::move(items_); }

 private:
  std::vector<ItemInterface*> items_;
};

// ---- The enumerator of a list -------------------------------------------------------

class ItemEnumerator final : public IEnumVARIANT, public ISupportErrorInfo {
 public:
  ItemEnumerator(const std::vector<IDispatch*>& items, size_t next) : items_(items), next_(next) {
    for (IDispatch* item : items_) item->AddRef();
    LockModule();
  }
  ~ItemEnumerator() {
    for (IDispatch* item : items_) item->Release();
    UnlockModule();
  }
  ItemEnumerator(const ItemEnumerator&) = delete;
  ItemEnumerator& operator=(const ItemEnumerator&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumVARIANT)) {
      *object = static_cast<IEnumVARIANT*>(this);
    } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
      *object = static_cast<ISupportErrorInfo*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsEqualIID(riid, IID_IEnumVARIANT) ? S_OK : S_FALSE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* out, ULONG* fetched) override {
    if (!out || (count > 1 && !fetched)) return NullResult(IID_IEnumVARIANT, L"IEnumVARIANT::Next");
    ExclusiveHold hold(&lock_);
    ULONG given = 0;
    for (; given < count && next_ < items_.size(); ++given, ++next_) {
      VariantInit(&out[given]);
      out[given].vt = VT_DISPATCH;
      out[given].pdispVal = items_[next_];
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
      *copy = new ItemEnumerator(items_, next);
      return S_OK;
    });
  }

 private:
  LONG refs_ = 1;
  SRWLOCK lock_ = SRWLOCK_INIT;
  std::vector<IDispatch*> items_;
  size_t next_;
};

// ---- A list of items ----------------------------------------------------------------

// A read-only list; owns one reference to each item.
template <class ListInterface, const IID* kIid, class ItemInterface>
class ListObject final : public DualObject<ListInterface, kIid> {
 public:
  ListObject() = default;
  // Takes over one reference to each item (moving the vector cannot fail).
  void Adopt(std::vector<ItemInterface*> items) { items_ = std::move(items); }
  ~ListObject() {
    for (ItemInterface* item : items_) item->Release();
  }

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
    *item = items_[index];
    (*item)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** enumerator) override {
    if (!enumerator) return NullResult(*kIid, L"_NewEnum");
    *enumerator = nullptr;
    return Guarded([&] {
      std::vector<IDispatch*> items(items_.begin(), items_.end());
      *enumerator = static_cast<IEnumVARIANT*>(new ItemEnumerator(items, 0));
      return S_OK;
    });
  }

 private:
  std::vector<ItemInterface*> items_;
};


}  // namespace catalog
