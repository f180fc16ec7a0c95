// The host states as one table (state_rows.inc): each state's word, the facts
// that come with it, and what to do about it. Every renderer (the catalog's
// Detail and error texts, the sample host's fields) reads the same row.
#include <cstdio>
#include <iterator>

#include "stub/stub_host.h"

namespace stub {
namespace host {
namespace {

struct StateRow {
  State state;
  const char* word;
  StateDetails details;
  const wchar_t* remedy;
  const wchar_t* remedyNoClass;  // for CLASS_E_CLASSNOTAVAILABLE; null: the remedy
};

constexpr StateRow kRows[] = {
#define STUB_HOST_STATE(state, word, first, second, remedy, remedyNoClass, guide) \
  {State::state, word, {{DetailSource::first, DetailSource::second}}, remedy, remedyNoClass},
#include "state_rows.inc"
#undef STUB_HOST_STATE
};

// The table is indexed by the state: its rows stand in the enum's order, one
// for each state.
constexpr bool RowsInOrder() {
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    if (static_cast<std::size_t>(kRows[i].state) != i) return false;
  }
  return true;
}
static_assert(RowsInOrder(), "state_rows.inc lists the states in the order of enum class State");
static_assert(std::size(kRows) == static_cast<std::size_t>(State::ProbeFailed) + 1,
              "state_rows.inc has a row for every state");

const StateRow& RowOf(State state) {
  const std::size_t index = static_cast<std::size_t>(state);
  return kRows[index < std::size(kRows) ? index : 0];
}

std::wstring Hex(unsigned long value, int digits) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%0*lX", digits, value);
  return text;
}

std::wstring GuidText(const GUID& id) {
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  return text;
}

std::wstring MachineName(WORD machine) {
  switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
      return L"x86";
    case IMAGE_FILE_MACHINE_AMD64:
      return L"x64";
    case 0xAA64:
      return L"arm64";  // IMAGE_FILE_MACHINE_ARM64
    default:
      return Hex(machine, 4);
  }
}

}  // namespace

const char* StateName(State state) { return RowOf(state).word; }

const wchar_t* StateRemedy(State state, HRESULT result) {
  const StateRow& row = RowOf(state);
  return result == CLASS_E_CLASSNOTAVAILABLE && row.remedyNoClass ? row.remedyNoClass : row.remedy;
}

StateDetails StateDetailSources(State state) { return RowOf(state).details; }

std::wstring DetailText(const Class& entry, DetailSource source) {
  switch (source) {
    case DetailSource::None:
      return std::wstring();
    case DetailSource::ClassKey:
      return L"HKEY_CLASSES_ROOT\\CLSID\\" + GuidText(entry.clsid);
    case DetailSource::ServerKey:
      return L"HKEY_CLASSES_ROOT\\CLSID\\" + GuidText(entry.clsid) + L"\\InprocServer32";
    case DetailSource::ServerPath:
      return entry.serverPath;
    case DetailSource::LongPath:
    case DetailSource::Folder:
    case DetailSource::Script:
    case DetailSource::Manifest:
    case DetailSource::FaultingModule:
    case DetailSource::ProbeProblem:
      return entry.path;
    case DetailSource::Machine:
      return MachineName(entry.machine);
    case DetailSource::Identifier:
      return entry.identifierText;
    case DetailSource::CurrentClsid:
      return GuidText(entry.scriptClsid);
    case DetailSource::Result:
    case DetailSource::ExceptionCode:
      return Hex(static_cast<unsigned long>(entry.result), 8);
    case DetailSource::Limit:
      return std::to_wstring(entry.milliseconds) + L" ms";
    case DetailSource::ExitCode:
      return std::to_wstring(static_cast<unsigned long>(entry.result));
  }
  return std::wstring();
}

std::wstring StateDetail(const Class& entry) {
  std::wstring text;
  for (const DetailSource source : StateDetailSources(entry.state).sources) {
    const std::wstring part = DetailText(entry, source);
    if (part.empty()) continue;
    if (!text.empty()) text += L": ";
    text += part;
  }
  return text;
}

}  // namespace host
}  // namespace stub
