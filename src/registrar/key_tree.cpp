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
    u"AppID",    u"CLSID",     u"Component Categories",
    u"FileType", u"Interface", u"Hardware",
    u"Mime",     u"SAM",       u"SECURITY",
    u"SYSTEM",   u"Software",  u"TypeLib",
};

namespace {

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;
constexpr int kSavedNameCapacity = 260;

// Only a token that is exactly "{" opens a nested block.
bool OpensBlock(const char16_t* token) { return token[0] == u'{' && token[1] == 0; }

// A key entry names exactly one key level. A backslash would reach deeper; an
// empty name opens the parent itself, so deleting "it" (ForceRemove '', Delete
// '', or removing an entry '') would delete the parent and its whole subtree.
bool NotOneKeyLevel(const char16_t* name) { return name[0] == 0 || FindChar(name, u'\\') != nullptr; }

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
  stopReason_ = firstDropped_ = ScriptStop::kNone;
  firstDroppedToken_ = nullptr;
  trace_ = outcome ? outcome->trace : nullptr;
  HRESULT hr = ExpandReplacements(script, prepared.Put());
  if (FAILED(hr)) {
    trace_ = nullptr;
    if (outcome) {
      // Preparation leaves its read position in the script where it failed.
      outcome->result = hr;
      outcome->inPreparation = true;
      outcome->stop = outcome->tokenStart = position_ ? static_cast<std::size_t>(position_ - script) : 0;
      outcome->reason = stopReason_;
    }
    return hr;
  }
  position_ = tokenStart_ = prepared.Get();
  deepBlock_ = deepBlockToken_ = nullptr;
  if (trace_) trace_->Begin(prepared.Get());
  hr = RunRootBlocks(mode, outcome);
  trace_ = nullptr;
  if (outcome) outcome->result = hr;
  return hr;
}

// Notes in `outcome` where the run stands now (or where removal met a block
// nested too deep) and why: the place a failure was decided, before any
// rollback moves the read position back. A failure the text does not explain
// came from the registry (or memory): its reason stays kNone.
void ScriptParser::NoteStop(const char16_t* prepared, HRESULT hr, ScriptOutcome* outcome) const {
  if (!outcome) return;
  const char16_t* stop = deepBlock_ ? deepBlock_ : position_;
  const char16_t* token = deepBlock_ ? deepBlockToken_ : tokenStart_;
  outcome->stop = static_cast<std::size_t>(stop - prepared);
  outcome->tokenStart = static_cast<std::size_t>(token - prepared);
  outcome->expected = slot_;
  outcome->reason = deepBlock_ ? ScriptStop::kTooDeep : SUCCEEDED(hr) ? ScriptStop::kNone : stopReason_;
  outcome->firstDropped = firstDropped_;
  if (firstDroppedToken_) {
    outcome->firstDroppedToken = static_cast<std::size_t>(firstDroppedToken_ - prepared);
  }
}

HRESULT ScriptParser::RunRootBlocks(ScriptMode mode, ScriptOutcome* outcome) {
  const char16_t* const prepared = position_;
  const WalkLevel rootLevel = {mode, /*readThrough=*/false, /*depth=*/1, /*pathLength=*/0,
                               /*keyWritable=*/false};
  TokenBuffer token;
  HRESULT hr = S_OK;
  while (*position_ != 0) {
    hr = Read(token, Slot::kRootName);
    if (FAILED(hr)) break;
    const HKEY root = FindRootKey(token);
    if (!root) {
      hr = Refuse(ScriptStop::kNoRoot);
      break;
    }
    hr = Read(token, Slot::kRootOpen);
    if (FAILED(hr)) break;
    if (token[0] != u'{') {  // only the first character counts after a root name
      hr = Refuse(ScriptStop::kNoRootBlock);
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
    if (readOnly_) break;  // it made nothing
    // Undo the failed block; the run reports the registration failure. The
    // rollback walk spares NoRemove keys and may stop early at the same
    // malformed text, so the keys the walk itself made go afterwards by their
    // paths: a failed block leaves nothing it created, which no removal could
    // take away later.
    NoteStop(prepared, hr, outcome);
    position_ = blockStart;
    trace_ = nullptr;
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
  NoteStop(prepared, hr, outcome);
  return hr;
}

HRESULT ScriptParser::WalkKeyBlock(TokenBuffer& token, HKEY parent, const WalkLevel& level) {
  const bool deep = level.depth > kMaxNesting;
  if (deep) {
    if (level.mode == ScriptMode::kRegister) return Refuse(ScriptStop::kTooDeep);
    // Removal (a rollback among them) still has to reach the keys above this
    // block, so it reads the block through, touching nothing, and the run
    // reports the refusal at its end, naming this place. The blocks inside
    // are counted rather than recursed into (RemoveKeyEntry), so no nesting
    // exhausts the stack; the read stops at the first malformed entry, whose
    // failure goes up as any other: so deep a block is refused in any case,
    // and a count that read on past a failure would have to guess where the
    // block ends.
    if (!deepBlock_) {
      deepBlock_ = position_;
      deepBlockToken_ = tokenStart_;
    }
    deepOpen_ = 1;
  }
  if (trace_) trace_->Block(level.depth, true);
  BlockKeys keys{parent, {}, {}};  // the block's own handles close on every return
  HRESULT hr = Read(token, Slot::kEntry);
  while (SUCCEEDED(hr)) {
    if (token[0] == u'}') {
      if (!deep || --deepOpen_ == 0) {
        if (trace_) trace_->Block(level.depth, false);
        break;
      }
      hr = Read(token, Slot::kAfterKey);  // the token after a counted inner block
      continue;
    }
    hr = WalkEntry(token, keys, level);
  }
  return hr;
}

// One entry, from its first token in `token` to the first token of the next
// entry (or the "}" that ends the block) left in `token`.
HRESULT ScriptParser::WalkEntry(TokenBuffer& token, BlockKeys& keys, const WalkLevel& level) {
  HRESULT hr = S_OK;
  unsigned flags = 0;
  const bool isDelete = IsKeyword(token, KeywordText(Keyword::kDelete));
  if (isDelete || IsKeyword(token, KeywordText(Keyword::kForceRemove))) {
    flags = isDelete ? kEntryDelete : kEntryForceRemove;
    hr = Read(token, Slot::kSubject);  // the subject, even when it is itself a keyword
    if (FAILED(hr)) return hr;
    if (level.mode == ScriptMode::kRegister) {
      hr = DeleteSubject(token, CBorrowedKey(keys.parent));
      if (FAILED(hr)) return hr;
      if (isDelete) {
        if (trace_) trace_->Entry(flags, tokenStart_, level.depth);
        hr = Read(token, Slot::kAfterDelete);
        if (SUCCEEDED(hr)) hr = DiscardAssignment(token, Slot::kAfterDelete);
        if (FAILED(hr)) return hr;
        return NestedBlock(token, keys.current.Get(), level);
      }
    }
  }
  if (IsKeyword(token, KeywordText(Keyword::kNoRemove))) {
    flags |= kEntryNoRemove;
    hr = Read(token, Slot::kEntry);
    if (FAILED(hr)) return hr;
  }
  if (IsKeyword(token, KeywordText(Keyword::kVal))) return ValueEntry(token, keys, level, flags);
  // One key level per entry.
  if (NotOneKeyLevel(token)) return Refuse(ScriptStop::kNotOneLevel);
  if (trace_) trace_->Entry(flags, tokenStart_, level.depth);
  if (level.mode == ScriptMode::kRegister) return RegisterKeyEntry(token, keys, level);
  return RemoveKeyEntry(token, keys, level, (flags & kEntryNoRemove) == 0);
}

// ForceRemove and Delete in registration: the subject's old subtree goes,
// unless its name is protected. An absent subject is no error; a subtree that
// cannot be deleted fails the block (which is then rolled back), because
// carrying on would report success over stale keys and values.
HRESULT ScriptParser::DeleteSubject(const char16_t* subject, CBorrowedKey parent) {
  if (NotOneKeyLevel(subject)) return Refuse(ScriptStop::kNotOneLevel);
  if (readOnly_ || !MayDeleteKey(subject)) return S_OK;
  const LONG result = parent.DeleteTree(subject);
  if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) return S_OK;
  return HResultFromWin32(result);
}

HRESULT ScriptParser::ValueEntry(TokenBuffer& token, BlockKeys& keys, const WalkLevel& level,
                                 unsigned flags) {
  char16_t name[kValueNameCapacity];
  slot_ = Slot::kValueName;
  HRESULT hr = ReadToken(name, kValueNameCapacity);
  if (FAILED(hr)) return hr;
  if (trace_) trace_->Entry(flags | kEntryValue, tokenStart_, level.depth);
  hr = Read(token, Slot::kEquals);
  if (FAILED(hr)) return hr;
  if (token[0] != u'=') return Refuse(ScriptStop::kNoEquals);

  if (level.mode == ScriptMode::kRegister) {
    hr = AssignValue(CBorrowedKey(keys.parent), name, token, Slot::kAfterValue);
    if (FAILED(hr)) return hr;
    return NestedBlock(token, keys.current.Get(), level);
  }
  if (!level.readThrough && (flags & kEntryNoRemove) == 0) {
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
  return DiscardAssignment(token, Slot::kAfterValue);
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
  return HResultFromWin32(keys.current.Create(keys.parent, name, /*keyClass=*/nullptr, kOptions, kReadWrite,
                                              /*security=*/nullptr, disposition));
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
HRESULT ScriptParser::RegisterKeyEntry(TokenBuffer& token, BlockKeys& keys, const WalkLevel& level) {
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  HRESULT hr = S_OK;
  if (!readOnly_) {
    hr = OpenOrCreateKey(token, keys, &disposition);
    if (SUCCEEDED(hr)) hr = NoteKey(token, level, disposition);
  }
  if (SUCCEEDED(hr)) hr = Read(token, Slot::kAfterKey);
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

  HRESULT hr = Read(token, Slot::kAfterKey);
  if (SUCCEEDED(hr)) hr = DiscardAssignment(token);
  if (FAILED(hr)) return hr;
  if (OpensBlock(token)) {
    // Inside a block nested too deep the inner blocks are counted, not walked.
    if (level.depth > kMaxNesting) {
      ++deepOpen_;
      return Read(token, Slot::kEntry);
    }
    // A block nested too deep is read through whatever its key.
    hr = WalkKeyBlock(
        token, keys.current.Get(),
        {ScriptMode::kRemove, readOnly || level.depth >= kMaxNesting, level.depth + 1, 0, writable});
    if (FAILED(hr)) {
      if (!readOnly) return hr;
      // Read through: the inner failure is dropped and reading goes on; the
      // first one is noted, as a later stop is often its consequence.
      if (!firstDroppedToken_) {
        firstDropped_ = stopReason_;
        firstDroppedToken_ = tokenStart_;
      }
      stopReason_ = ScriptStop::kNone;
    }
    hr = Read(token, Slot::kAfterKey);
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
  return Read(token, Slot::kAfterKey);
}
