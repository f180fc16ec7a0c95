// The two forwarding stub classes, `Stub` and `StubText`.
//
// No client ever holds a stub. Creating one builds a short-lived object that
// creates the engine object of its class, tells it the module's file name, and
// answers the client's interface request from the engine object; the stub then
// disposes of itself, so only the engine object is left and the module's lock
// count is back where it was.
#pragma once

#include "platform/platform.h"
#include "platform/unique_resource.h"
#include "server/class_table.h"
#include "server/object_root.h"
#include "server/stub_target.h"

/// The shared body of both stub classes. `T` supplies InnerClassId(), the engine
/// class it binds to. The count is a plain counter: a stub never leaves the
/// thread that creates it.
template <class T>
class CStubObject : public CObjectRootEx<CSingleThreadModel> {
 public:
  /// Answers `riid` of the engine object and disposes of the stub. With no engine
  /// object, E_NOINTERFACE and the stub is left as it was. An engine that answers
  /// success with a null interface gives E_NOINTERFACE; any failure nulls `*object`.
  virtual HRESULT HandOff(REFIID riid, void** object);
  /// Creates the engine object and passes it the module path; the engine's
  /// creation failure, E_POINTER when it answers success with no object, or
  /// SetModulePath's answer.
  HRESULT Bind();
  /// Tells the engine object the module's file name; SetModulePath's answer. When
  /// the name cannot be had whole, the engine is not called and the answer is the
  /// HRESULT of the loader's error (ERROR_INSUFFICIENT_BUFFER for a cut name).
  HRESULT PassModulePath();
  /// Ends the stub: gives back its module lock, releases the engine, frees it.
  void Dispose();

  /// Whether the stub holds an engine object.
  bool IsBound() const { return static_cast<bool>(inner_); }

  /// Stubs live only as CHeapObject blocks.
  static void operator delete(void* block) { sys::MemFree(block); }

 protected:
  template <class U>
  friend HRESULT CreateStub(REFIID riid, void** object);

  CStubObject() = default;
  virtual ~CStubObject() = default;

  CInterfacePtr<IStubTarget> inner_;
};

/// Binds CLSID_Stub to the style engine.
class Stub : public CStubObject<Stub> {
 public:
  static const CLSID& InnerClassId() { return CLSID_StyleEngine; }
};

/// Binds CLSID_StubText to the text style engine.
class StubText : public CStubObject<StubText> {
 public:
  static const CLSID& InnerClassId() { return CLSID_StyleTextEngine; }
};

/// A stub on the heap: holds one module lock from construction to destruction;
/// QueryInterface hands off.
template <class T>
class CHeapObject final : public T {
 public:
  CHeapObject();
  ~CHeapObject() override;
  /// Plain counting; the stub is destroyed when the count reaches zero.
  virtual ULONG AddRef();
  virtual ULONG Release();
  /// Hands off: see CStubObject::HandOff.
  virtual HRESULT QueryInterface(REFIID riid, void** object);

  static void operator delete(void* block) { sys::MemFree(block); }
};

/// The instance creator of a class-table row: refuses aggregation, else CreateStub<T>.
template <class T>
HRESULT CreateStubInstance(IUnknown* outer, REFIID riid, void** object);

/// E_POINTER for a null `object`; otherwise nulls it and answers CLASS_E_NOAGGREGATION.
HRESULT RefuseAggregation(IUnknown* outer, REFIID riid, void** object);

/// Creates a stub of class `T`, binds it and hands the engine object's `riid` to
/// `*object`. E_POINTER for a null `object`; E_OUTOFMEMORY when the stub cannot be
/// allocated; otherwise the first failure of binding or hand-off, with `*object`
/// null. The stub is gone and the module lock count unchanged when this returns.
template <class T>
HRESULT CreateStub(REFIID riid, void** object);
