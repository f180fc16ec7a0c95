// Tables of the key-tree walk: root-key names and the never-deleted key names.
#pragma once

#include "platform/platform.h"
#include "registrar/script_grammar.h"

/// Key names that ForceRemove and Delete never delete, at any depth.
extern const char16_t* const ProtectedKeyNames[12];

/// The root key of the first RootKeyTable name matching `name` without regard
/// to case, or null.
HKEY FindRootKey(const char16_t* name);
/// False when `name` matches one of ProtectedKeyNames (any letter case).
bool MayDeleteKey(const char16_t* name);
/// True when the key reports at least one subkey; false for none or when the
/// query fails.
bool KeyHasChildren(HKEY key);
