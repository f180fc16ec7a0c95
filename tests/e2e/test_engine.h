// The test engine: a stand-in for the engine COM server that the module's
// classes forward to. Shared by test_engine.dll and the end-to-end client.
//
// The engine serves both engine classes with one object type that implements
// IStubTarget (what the module talks to) and IEngineProbe (what the tests use
// to read back what the module told the object). The client steers the engine
// through plain exports that it reaches with LoadLibrary + GetProcAddress:
// COM loads the same DLL into the same process, so both see one state.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>

#include "server/stub_target.h"

namespace e2e {

// {6C3E2B71-0F4D-4C8A-9E15-7A2B90D1C4E6}
inline constexpr IID kIID_IEngineProbe = {
    0x6C3E2B71, 0x0F4D, 0x4C8A, {0x9E, 0x15, 0x7A, 0x2B, 0x90, 0xD1, 0xC4, 0xE6}};

/// Read-back interface of a test engine object.
struct IEngineProbe : IUnknown {
  /// Copies the text the last SetModulePath call received (empty if none) into
  /// `buffer`, truncated to `capacity` units including the terminator.
  virtual HRESULT STDMETHODCALLTYPE GetModulePath(wchar_t* buffer, UINT capacity) = 0;
  /// Stores the engine class this object was created as.
  virtual HRESULT STDMETHODCALLTYPE GetEngineClass(CLSID* classId) = 0;
  /// Answers how many times SetModulePath has been called on this object.
  virtual ULONG STDMETHODCALLTYPE GetSetModulePathCalls() = 0;
};

/// Ways an engine breaks its word, for the module to survive.
enum EngineMisbehaviour : int {
  kEngineKeepsItsWord = 0,
  kEngineCreatesNothing = 1,  // CreateInstance answers S_OK with a null object
  kEngineAnswersNull = 2,     // QueryInterface of IEngineProbe answers S_OK with null
};

/// `EngineConfigure`: every later SetModulePath answers `setModulePathResult`,
/// QueryInterface refuses `refusedInterface` (none when null), and the engine
/// misbehaves as `misbehaviour` says.
using EngineConfigureFn = void (*)(HRESULT setModulePathResult, const IID* refusedInterface,
                                   int misbehaviour);
/// `EngineLiveObjects`: the number of engine objects not yet destroyed.
using EngineLiveObjectsFn = LONG (*)();

}  // namespace e2e
