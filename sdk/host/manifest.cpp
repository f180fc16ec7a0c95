// Reading a package's assembly manifest (its comClass entries) and making
// activation contexts of it.
#include "manifest.h"

#include <cstddef>

namespace stub {
namespace host {
namespace detail {
namespace {

// A manifest of two classes takes a few kilobytes; anything past this is not
// one worth reading.
constexpr DWORD kMaxManifestBytes = 1024 * 1024;

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  bool read = GetFileSizeEx(file, &size) && size.QuadPart <= kMaxManifestBytes;
  if (read) {
    bytes.assign(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    read = bytes.empty() ||
           (ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) &&
            got == bytes.size());
  }
  CloseHandle(file);
  return read;
}

// The text of the file: UTF-16 (little endian) after its byte order mark,
// else UTF-8 with or without one.
std::wstring Decode(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::wstring text((bytes.size() - 2) / 2, L'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                     (static_cast<unsigned char>(bytes[3 + 2 * i]) << 8));
    }
    return text;
  }
  std::size_t start = 0;
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
  const int size = static_cast<int>(bytes.size() - start);
  if (size == 0) return std::wstring();
  const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data() + start, size, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring text(units, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data() + start, size, &text[0], units);
  return text;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

// The five predefined entities and numeric references; anything else stays as written.
std::wstring Unescape(const std::wstring& text) {
  std::wstring plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'&') {
      plain += text[i];
      continue;
    }
    const std::size_t end = text.find(L';', i);
    if (end == std::wstring::npos) {
      plain += text.substr(i);
      break;
    }
    const std::wstring name = text.substr(i + 1, end - i - 1);
    wchar_t c = 0;
    if (name == L"amp") c = L'&';
    else if (name == L"lt") c = L'<';
    else if (name == L"gt") c = L'>';
    else if (name == L"quot") c = L'"';
    else if (name == L"apos") c = L'\'';
    else if (name.size() > 1 && name[0] == L'#') {
      const bool hex = name[1] == L'x' || name[1] == L'X';
      unsigned long value = 0;
      bool digits = name.size() > (hex ? 2u : 1u);
      for (std::size_t k = hex ? 2 : 1; k < name.size() && digits; ++k) {
        const wchar_t d = name[k];
        int v = -1;
        if (d >= L'0' && d <= L'9') v = d - L'0';
        else if (hex && d >= L'a' && d <= L'f') v = d - L'a' + 10;
        else if (hex && d >= L'A' && d <= L'F') v = d - L'A' + 10;
        if (v < 0 || value > 0xFFFF) digits = false;
        else value = value * (hex ? 16 : 10) + static_cast<unsigned long>(v);
      }
      if (digits && value > 0 && value <= 0xFFFF) c = static_cast<wchar_t>(value);
    }
    if (c == 0) {
      plain += text.substr(i, end - i + 1);
    } else {
      plain += c;
    }
    i = end;
  }
  return plain;
}

// One start or end tag: its local name (any namespace prefix dropped) and attributes.
struct Tag {
  std::wstring name;
  bool end = false;         // </name>
  bool selfClosing = false;  // <name ... />
  std::vector<std::pair<std::wstring, std::wstring>> attributes;

  std::wstring Attribute(const wchar_t* wanted) const {
    for (const auto& attribute : attributes) {
      if (attribute.first == wanted) return attribute.second;
    }
    return std::wstring();
  }
};

std::wstring LocalName(const std::wstring& name) {
  const std::size_t colon = name.rfind(L':');
  return colon == std::wstring::npos ? name : name.substr(colon + 1);
}

// Reads the tag whose '<' is at `at`; answers the position after its '>'
// (npos when the text ends first).
std::size_t ReadTag(const std::wstring& text, std::size_t at, Tag& tag) {
  std::size_t i = at + 1;
  if (i < text.size() && text[i] == L'/') {
    tag.end = true;
    ++i;
  }
  const std::size_t nameStart = i;
  while (i < text.size() && !IsBlank(text[i]) && text[i] != L'>' && text[i] != L'/') ++i;
  tag.name = LocalName(text.substr(nameStart, i - nameStart));
  while (i < text.size()) {
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i >= text.size()) break;
    if (text[i] == L'>') return i + 1;
    if (text[i] == L'/') {
      tag.selfClosing = true;
      ++i;
      continue;
    }
    const std::size_t attributeStart = i;
    while (i < text.size() && !IsBlank(text[i]) && text[i] != L'=' && text[i] != L'>') ++i;
    const std::wstring name = LocalName(text.substr(attributeStart, i - attributeStart));
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i >= text.size() || text[i] != L'=') continue;
    ++i;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i >= text.size() || (text[i] != L'"' && text[i] != L'\'')) continue;
    const wchar_t quote = text[i++];
    const std::size_t close = text.find(quote, i);
    if (close == std::wstring::npos) return std::wstring::npos;
    tag.attributes.emplace_back(name, Unescape(text.substr(i, close - i)));
    i = close + 1;
  }
  return std::wstring::npos;
}

}  // namespace

bool ReadManifestClasses(const std::wstring& path, std::vector<ManifestClass>& classes) {
  classes.clear();
  std::string bytes;
  if (!ReadWholeFile(path, bytes)) return false;
  const std::wstring text = Decode(bytes);
  std::wstring file;
  std::size_t i = 0;
  while ((i = text.find(L'<', i)) != std::wstring::npos) {
    // Comments, declarations and processing instructions hold no elements.
    if (text.compare(i, 4, L"<!--") == 0) {
      const std::size_t end = text.find(L"-->", i + 4);
      if (end == std::wstring::npos) break;
      i = end + 3;
      continue;
    }
    if (i + 1 < text.size() && (text[i + 1] == L'?' || text[i + 1] == L'!')) {
      ++i;
      continue;
    }
    Tag tag;
    const std::size_t next = ReadTag(text, i, tag);
    if (next == std::wstring::npos) break;
    i = next;
    if (tag.name == L"file") {
      file = tag.end || tag.selfClosing ? std::wstring() : tag.Attribute(L"name");
    } else if (tag.name == L"comClass" && !tag.end) {
      ManifestClass entry;
      entry.file = file;
      entry.clsid = tag.Attribute(L"clsid");
      entry.progId = tag.Attribute(L"progid");
      entry.threadingModel = tag.Attribute(L"threadingModel");
      entry.description = tag.Attribute(L"description");
      classes.push_back(entry);
    }
  }
  return true;
}

HRESULT ActivationContext::Create(const std::wstring& manifestPath, const std::wstring& directory) {
  Reset();
  ACTCTXW description = {};
  description.cbSize = sizeof description;
  description.dwFlags = ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID;
  description.lpSource = manifestPath.c_str();
  description.lpAssemblyDirectory = directory.c_str();
  handle_ = CreateActCtxW(&description);
  if (handle_ != INVALID_HANDLE_VALUE) return S_OK;
  const DWORD error = GetLastError();
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

bool ActivationContext::ServesClass(const CLSID& clsid) const {
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  ActiveContext active(handle_);
  if (!active.active()) return false;
  ACTCTX_SECTION_KEYED_DATA data = {};
  data.cbSize = sizeof data;
  if (!FindActCtxSectionGuid(FIND_ACTCTX_SECTION_KEY_RETURN_HACTCTX, nullptr,
                             ACTIVATION_CONTEXT_SECTION_COM_SERVER_REDIRECTION, &clsid, &data)) {
    return false;
  }
  // The answer may come from the process's default context (the
  // application's own manifest): only this context's own counts.
  const bool own = data.hActCtx == handle_;
  if (data.hActCtx) ReleaseActCtx(data.hActCtx);
  return own;
}

}  // namespace detail
}  // namespace host
}  // namespace stub
