// The key-tree walk: carries out a prepared script, creating its keys and
// values (registration) or taking them down leaf first (removal).
#include "registrar/key_tree.h"

#include "platform/hresult.h"
#include "platform/unique_resource.h"
#include "registrar/key_handle.h"
#include "registrar/registrar.h"
#include "registrar/script_parser.h"
#include "registrar/text_buffer.h"

const RootKeyRow RootKeyTable[14] = {
    {u"HKCR", HKEY_CLASSES_ROOT},
    {u"HKCU", HKEY_CURRENT_USER},
    {u"HKLM", HKEY_LOCAL_MACHINE},
    {u"HKU", HKEY_USERS},
    {u"HKPD", HKEY_PERFORMANCE_DATA},
    {u"HKDD", HKEY_DYN_DATA},
    {u"HKCC", HKEY_CURRENT_CONFIG},
    {u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {u"HKEY_USERS", HKEY_USERS},
    {u"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {u"HKEY_DYN_DATA", HKEY_DYN_DATA},
    {u"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

const char16_t* const ProtectedKeyNames[12] = {
    u"AppID", u"CLSID",   u"Component Categories", u"FileType", u"Interface", u"Hardware",
    u"Mime",  u"SAM",     u"SECURITY",             u"SYSTEM",   u"Software",  u"TypeLib",
};

namespace {

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;
constexpr int kSavedNameCapacity = 260;

// Only a token that is exactly "{" opens a nested block.
bool OpensBlock(const char16_t* token) { return token[0] == u'{' && token[1] == 0; }

// A key entry names exactly one key level. A backslash would reach deeper; an
// empty name opens the parent itself, so deleting "it" (ForceRemove '', Delete
// '', or removing an entry '') would delete the parent and its whole subtree.
bool NotOneKeyLevel(const char16_t* name) {
  return name[0] == 0 || FindChar(name, u'\\') != nullptr;
}

// Truncating copy: at most capacity - 1 characters and the terminator.
void CopyName(char16_t* target, int capacity, const char16_t* source) {
  int i = 0;
  for (; i < capacity - 1 && source[i]; ++i) target[i] = source[i];
  target[i] = 0;
}

}  // namespace

HKEY FindRootKey(const char16_t* name) {
  for (const RootKeyRow& row : RootKeyTable) {
    if (IsKeyword(name, row.name)) return row.key;
  }
  return nullptr;
}

bool MayDeleteKey(const char16_t* name) {
  for (const char16_t* protectedName : ProtectedKeyNames) {
    if (IsKeyword(name, protectedName)) return false;
  }
  return true;
}

bool KeyHasChildren(HKEY key) {
  DWORD subkeys = 0;
  return sys::RegQueryInfoKeyW(key, &subkeys) == ERROR_SUCCESS && subkeys > 0;
}

// The keys one block works with: the key the block belongs to (never closed
// here), the latest key entry's key, and in removal one write handle to the
// block's key that serves all of its value entries when the key itself was
// not opened for writing.
struct BlockKeys {
  HKEY parent;
  CKeyHandle current;
  CKeyHandle values;
};

namespace {

// Deletes the keys `created` lists (paths below `root`, each terminated, in the
// order they were made), last made first: a key is always made after its
// parent, so children go before their parents. A key that now has subkeys, or
// is gone already, is left as it is; failures change nothing else.
void RemoveCreatedKeys(HKEY root, const TextBuffer& created) {
  const char16_t* const begin = created.Data();
  const char16_t* end = begin + created.Length();  // just past the last terminator
  while (end > begin) {
    const char16_t* path = end - 1;
    while (path > begin && path[-1] != 0) --path;
    end = path;
    CKeyHandle key;
    if (key.Open(root, path, KEY_READ) != ERROR_SUCCESS) continue;
    const bool hasChildren = KeyHasChildren(key.Get());
    key.Close();
    if (!hasChildren) sys::RegDeleteKeyW(root, path);
  }
}

}  // namespace

HRESULT ScriptParser::RunScript(const char16_t* script, ScriptMode mode, ScriptOutcome* outcome) {
  CTaskMemory<char16_t> prepared;
  HRESULT hr = ExpandReplacements(script, prepared.Put());
  if (FAILED(hr)) {
    if (outcome) {
      // Preparation leaves its read position in the script where it failed.
      outcome->result = hr;
      outcome->inPreparation = true;
      outcome->stop = outcome->tokenStart =
          position_ ? static_cast<std::size_t>(position_ - script) : 0;
    }
    return hr;
  }
  position_ = tokenStart_ = prepared.Get();
  deepBlock_ = deepBlockToken_ = nullptr;
  hr = RunRootBlocks(mode, outcome);
  if (outcome) outcome->result = hr;
  return hr;
}

// Notes in `outcome` where the run stands now (or where removal met a block
// nested too deep): the place a failure was decided, before any rollback
// moves the read position back.
void ScriptParser::NoteStop(const char16_t* prepared, ScriptOutcome* outcome) const {
  if (!outcome) return;
  const char16_t* stop = deepBlock_ ? deepBlock_ : position_;
  const char16_t* token = deepBlock_ ? deepBlockToken_ : tokenStart_;
  outcome->stop = static_cast<std::size_t>(stop - prepared);
  outcome->tokenStart = static_cast<std::size_t>(token - prepared);
}

HRESULT ScriptParser::RunRootBlocks(ScriptMode mode, ScriptOutcome* outcome) {
  const char16_t* const prepared = position_;
  const WalkLevel rootLevel = {mode, /*readThrough=*/false, /*depth=*/1, /*pathLength=*/0,
                               /*keyWritable=*/false};
  TokenBuffer token;
  HRESULT hr = S_OK;
  while (*position_ != 0) {
    hr = ReadToken(token);
    if (FAILED(hr)) break;
    const HKEY root = FindRootKey(token);
    if (!root) {
      hr = DISP_E_EXCEPTION;
      break;
    }
    hr = ReadToken(token);
    if (FAILED(hr)) break;
    if (token[0] != u'{') {  // only the first character counts after a root name
      hr = DISP_E_EXCEPTION;
      break;
    }
    if (mode == ScriptMode::kRemove) {
      hr = WalkKeyBlock(token, root, rootLevel);
      if (FAILED(hr)) {
        deepBlock_ = nullptr;  // the stop is where the walk failed
        break;
      }
      if (deepBlock_) {
        hr = DISP_E_EXCEPTION;
        break;
      }
      SkipBlanks();
      continue;
    }
    const char16_t* blockStart = position_;
    TextBuffer keyPath(0);
    TextBuffer created(0);
    if (!keyPath.Data() || !created.Data()) {
      hr = E_OUTOFMEMORY;
      break;
    }
    keyPath_ = &keyPath;
    createdKeys_ = &created;
    hr = WalkKeyBlock(token, root, rootLevel);
    keyPath_ = nullptr;
    createdKeys_ = nullptr;
    if (SUCCEEDED(hr)) {
      SkipBlanks();
      continue;
    }
    // Undo the failed block; the run reports the registration failure. The
    // rollback walk spares NoRemove keys and may stop early at the same
    // malformed text, so the keys the walk itself made go afterwards by their
    // paths: a failed block leaves nothing it created, which no removal could
    // take away later.
    NoteStop(prepared, outcome);
    position_ = blockStart;
    const HRESULT rollback = WalkKeyBlock(token, root, {ScriptMode::kRemove, false, 1, 0, false});
    RemoveCreatedKeys(root, created);
    if (outcome) {
      outcome->rolledBack = true;
      outcome->rollbackFinished = SUCCEEDED(rollback);
      outcome->failedRoot = root;
      outcome->createdLength = created.Length();
      outcome->createdKeys.Reset(created.Release());
    }
    return hr;
  }
  NoteStop(prepared, outcome);
  return hr;
}

HRESULT ScriptParser::WalkKeyBlock(TokenBuffer& token, HKEY parent, const WalkLevel& level) {
  if (level.depth > kMaxNesting) {
    if (level.mode == ScriptMode::kRegister) return DISP_E_EXCEPTION;
    // Removal (a rollback among them) still has to reach the keys above this
    // block, so it reads the block through without recursing and the run
    // reports the refusal at its end, naming this place.
    if (!deepBlock_) {
      deepBlock_ = position_;
      deepBlockToken_ = tokenStart_;
    }
    return ReadThroughDeepBlock(token);
  }
  BlockKeys keys{parent, {}, {}};  // the block's own handles close on every return
  HRESULT hr = ReadToken(token);
  while (SUCCEEDED(hr) && token[0] != u'}') {
    hr = WalkEntry(token, keys, level);
  }
  return hr;
}

// One entry, from its first token in `token` to the first token of the next
// entry (or the "}" that ends the block) left in `token`.
HRESULT ScriptParser::WalkEntry(TokenBuffer& token, BlockKeys& keys, const WalkLevel& level) {
  HRESULT hr = S_OK;
  bool removable = true;
  const bool isDelete = IsKeyword(token, u"Delete");
  if (isDelete || IsKeyword(token, u"ForceRemove")) {
    hr = ReadToken(token);  // the subject, even when it is itself a keyword
    if (FAILED(hr)) return hr;
    if (level.mode == ScriptMode::kRegister) {
      hr = DeleteSubject(token, CBorrowedKey(keys.parent));
      if (FAILED(hr)) return hr;
      if (isDelete) {
        hr = ReadToken(token);
        if (SUCCEEDED(hr)) hr = DiscardAssignment(token);
        if (FAILED(hr)) return hr;
        return NestedBlock(token, keys.current.Get(), level);
      }
    }
  }
  if (IsKeyword(token, u"NoRemove")) {
    removable = false;
    hr = ReadToken(token);
    if (FAILED(hr)) return hr;
  }
  if (IsKeyword(token, u"Val")) return ValueEntry(token, keys, level, removable);
  if (NotOneKeyLevel(token)) return DISP_E_EXCEPTION;  // one key level per entry
  if (level.mode == ScriptMode::kRegister) return RegisterKeyEntry(token, keys, level);
  return RemoveKeyEntry(token, keys, level, removable);
}

// ForceRemove and Delete in registration: the subject's old subtree goes,
// unless its name is protected. An absent subject is no error; a subtree that
// cannot be deleted fails the block (which is then rolled back), because
// carrying on would report success over stale keys and values.
HRESULT ScriptParser::DeleteSubject(const char16_t* subject, CBorrowedKey parent) {
  if (NotOneKeyLevel(subject)) return DISP_E_EXCEPTION;
  if (!MayDeleteKey(subject)) return S_OK;
  const LONG result = parent.DeleteTree(subject);
  if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) return S_OK;
  return HResultFromWin32(result);
}

// A Val entry's name and its "=": the part of the grammar that registration,
// removal and the deep read-through share.
HRESULT ScriptParser::ReadValueName(TokenBuffer& token, char16_t (&name)[kValueNameCapacity]) {
  HRESULT hr = ReadToken(name, kValueNameCapacity);
  if (SUCCEEDED(hr)) hr = ReadToken(token);
  if (FAILED(hr)) return hr;
  return token[0] == u'=' ? S_OK : DISP_E_EXCEPTION;
}

HRESULT ScriptParser::ValueEntry(TokenBuffer& token, BlockKeys& keys, const WalkLevel& level,
                                 bool removable) {
  char16_t name[kValueNameCapacity];
  HRESULT hr = ReadValueName(token, name);
  if (FAILED(hr)) return hr;

  if (level.mode == ScriptMode::kRegister) {
    hr = AssignValue(CBorrowedKey(keys.parent), name, token);
    if (FAILED(hr)) return hr;
    return NestedBlock(token, keys.current.Get(), level);
  }
  if (!level.readThrough && removable) {
    // One write handle serves every value of the block: the key's own when it
    // was opened for writing, else one opened at the first value.
    HKEY writable = keys.parent;
    if (!level.keyWritable) {
      if (!keys.values.Get()) {
        const LONG opened = keys.values.Open(keys.parent, nullptr, KEY_WRITE);
        if (opened != ERROR_SUCCESS) return HResultFromWin32(opened);
      }
      writable = keys.values.Get();
    }
    const LONG result = sys::RegDeleteValueW(writable, name);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
      return HResultFromWin32(result);
    }
  }
  // In removal the token after a value entry always begins the next entry.
  return DiscardAssignment(token);
}

// Registration's key: one create for reading and writing opens a writable key
// or makes a missing one. Only when it fails does the full order run, which
// then decides the outcome and the error: open read/write, else read-only,
// else create.
HRESULT ScriptParser::OpenOrCreateKey(const char16_t* name, BlockKeys& keys, DWORD* disposition) {
  constexpr DWORD kOptions = REG_OPTION_NON_VOLATILE;
  if (keys.current.Create(keys.parent, name, /*keyClass=*/nullptr, kOptions, kReadWrite,
                          /*security=*/nullptr, disposition) == ERROR_SUCCESS) {
    return S_OK;
  }
  *disposition = REG_OPENED_EXISTING_KEY;
  if (keys.current.Open(keys.parent, name, kReadWrite) == ERROR_SUCCESS ||
      keys.current.Open(keys.parent, name, KEY_READ) == ERROR_SUCCESS) {
    return S_OK;
  }
  return HResultFromWin32(keys.current.Create(keys.parent, name, /*keyClass=*/nullptr, kOptions,
                                              kReadWrite, /*security=*/nullptr, disposition));
}

// Keeps the path of the key just entered at `level`, and notes it when the
// walk made it: a rollback that stops early deletes the keys so noted.
HRESULT ScriptParser::NoteKey(const char16_t* name, const WalkLevel& level, DWORD disposition) {
  if (!keyPath_) return S_OK;
  keyPath_->Truncate(level.pathLength);
  if ((level.pathLength > 0 && !keyPath_->AppendChars(u"\\", 1)) || !keyPath_->AppendText(name)) {
    return E_OUTOFMEMORY;
  }
  if (disposition == REG_CREATED_NEW_KEY &&
      !createdKeys_->AppendChars(keyPath_->Data(), keyPath_->Length() + 1)) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

// Registration: open or create the key, write its default value, walk its block.
HRESULT ScriptParser::RegisterKeyEntry(TokenBuffer& token, BlockKeys& keys,
                                       const WalkLevel& level) {
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  HRESULT hr = OpenOrCreateKey(token, keys, &disposition);
  if (SUCCEEDED(hr)) hr = NoteKey(token, level, disposition);
  if (SUCCEEDED(hr)) hr = ReadToken(token);
  if (FAILED(hr)) return hr;
  if (token[0] == u'=') {
    hr = AssignValue(keys.current, nullptr, token);
    if (FAILED(hr)) return hr;
  }
  return NestedBlock(token, keys.current.Get(), level);
}

// Removal: walk the key's block first, then delete the key if it is removable
// and has no subkeys left. The key is opened for reading and writing, so that
// its block's values go through the same handle, else for reading; a key that
// cannot be opened has its block read only.
HRESULT ScriptParser::RemoveKeyEntry(TokenBuffer& token, BlockKeys& keys, const WalkLevel& level,
                                     bool removable) {
  LONG opened = ERROR_FILE_NOT_FOUND;
  bool writable = false;
  if (!level.readThrough) {
    opened = keys.current.Open(keys.parent, token, kReadWrite);
    writable = opened == ERROR_SUCCESS;
    if (!writable && opened != ERROR_FILE_NOT_FOUND) {
      opened = keys.current.Open(keys.parent, token, KEY_READ);
    }
  }
  const bool readOnly = level.readThrough || opened != ERROR_SUCCESS;
  char16_t savedName[kSavedNameCapacity];
  CopyName(savedName, kSavedNameCapacity, token);

  HRESULT hr = ReadToken(token);
  if (SUCCEEDED(hr)) hr = DiscardAssignment(token);
  if (FAILED(hr)) return hr;
  if (OpensBlock(token)) {
    hr = WalkKeyBlock(token, keys.current.Get(),
                      {ScriptMode::kRemove, readOnly, level.depth + 1, 0, writable});
    if (FAILED(hr) && !readOnly) return hr;
    // Read through: the inner failure is dropped and reading goes on.
    hr = ReadToken(token);
    if (FAILED(hr)) return hr;
  }

  if (opened == ERROR_FILE_NOT_FOUND) return S_OK;  // absent: nothing to remove
  if (opened != ERROR_SUCCESS) return HResultFromWin32(opened);
  const bool hasChildren = KeyHasChildren(keys.current.Get());
  const LONG closed = keys.current.Close();
  if (closed != ERROR_SUCCESS) return HResultFromWin32(closed);
  if (removable && !hasChildren) {
    const LONG deleted = sys::RegDeleteKeyW(keys.parent, savedName);
    if (deleted != ERROR_SUCCESS) return HResultFromWin32(deleted);
  }
  return S_OK;
}

// After an entry in registration, a "{" opens that entry's block under `key`.
// Removal walks blocks inside the key entry itself and goes straight on here.
HRESULT ScriptParser::NestedBlock(TokenBuffer& token, HKEY key, const WalkLevel& level) {
  if (level.mode == ScriptMode::kRemove || !OpensBlock(token)) return S_OK;
  // The block belongs to the latest key entry, whose path the walk holds.
  const int pathLength = keyPath_ ? keyPath_->Length() : 0;
  const HRESULT hr = WalkKeyBlock(token, key, {level.mode, false, level.depth + 1, pathLength, false});
  if (keyPath_) keyPath_->Truncate(pathLength);
  if (FAILED(hr)) return hr;
  return ReadToken(token);
}

// Reads a block as a read-through removal walk would, with a nesting counter
// in place of recursion; nothing is opened, deleted or written. It stops at
// the first malformed entry, where the walk would drop the failure of an inner
// block and read on: so deep a block is refused in any case, and a counter
// that carried on past a failure would have to guess where the block ends.
HRESULT ScriptParser::ReadThroughDeepBlock(TokenBuffer& token) {
  char16_t name[kValueNameCapacity];
  int open = 1;
  HRESULT hr = ReadToken(token);
  while (SUCCEEDED(hr)) {
    if (token[0] == u'}') {
      if (--open == 0) return S_OK;
      hr = ReadToken(token);  // the token after the inner block
      continue;
    }
    if (IsKeyword(token, u"Delete") || IsKeyword(token, u"ForceRemove")) {
      hr = ReadToken(token);
      if (FAILED(hr)) break;
    }
    if (IsKeyword(token, u"NoRemove")) {
      hr = ReadToken(token);
      if (FAILED(hr)) break;
    }
    if (IsKeyword(token, u"Val")) {
      hr = ReadValueName(token, name);
      if (SUCCEEDED(hr)) hr = DiscardAssignment(token);
      continue;
    }
    if (NotOneKeyLevel(token)) return DISP_E_EXCEPTION;
    hr = ReadToken(token);
    if (SUCCEEDED(hr)) hr = DiscardAssignment(token);
    if (SUCCEEDED(hr) && OpensBlock(token)) {
      ++open;
      hr = ReadToken(token);
    }
  }
  return hr;
}
