// The engine interface that every stub object binds to.
//
// The engine COM server lives outside this module; it serves the two engine
// classes below, and each engine object learns through SetModulePath which
// package module created it. This header depends on platform.h only, so an
// engine (or a test double of one) can include it on its own.
#pragma once

#include "platform/platform.h"

/// Implemented by engine objects. Slots: QueryInterface, AddRef, Release, SetModulePath.
struct IStubTarget : IUnknown {
  /// Tells the engine object the full file name of the module that created it.
  /// `path` is NUL-terminated and valid only during the call. A negative answer
  /// makes the creation fail with that code; S_OK and S_FALSE both mean ready.
  virtual HRESULT STDMETHODCALLTYPE SetModulePath(const char16_t* path) = 0;
};

/// {514E166D-1EAB-46A6-B443-C1981C797B9F}
inline constexpr IID IID_IStubTarget = {
    0x514E166D, 0x1EAB, 0x46A6, {0xB4, 0x43, 0xC1, 0x98, 0x1C, 0x79, 0x7B, 0x9F}};

/// The engine class behind `Stub`: {DFD9CAD9-C1BD-B14B-9829-00612EA98BCA}
inline constexpr CLSID CLSID_StyleEngine = {
    0xDFD9CAD9, 0xC1BD, 0xB14B, {0x98, 0x29, 0x00, 0x61, 0x2E, 0xA9, 0x8B, 0xCA}};

/// The engine class behind `StubText`: {3AE615F3-1D9A-234C-A151-BDB84CD94B17}
inline constexpr CLSID CLSID_StyleTextEngine = {
    0x3AE615F3, 0x1D9A, 0x234C, {0xA1, 0x51, 0xBD, 0xB8, 0x4C, 0xD9, 0x4B, 0x17}};
