#include "support/registry_dump.h"

#include <algorithm>
#include <cstdio>

#ifndef _WIN32
#include "platform/emulated/emulator.h"
#endif

namespace test {
namespace {

struct ValueRecord {
  std::u16string name;
  DWORD type;
  std::vector<BYTE> data;
};

struct KeyRecord {
  std::u16string name;
  std::vector<ValueRecord> values;
  std::vector<KeyRecord> children;
};

std::u16string Join(const std::u16string& path, const std::u16string& name) {
  return path.empty() ? name : path + u"\\" + name;
}

#ifdef _WIN32

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

bool ReadTree(HKEY root, const std::u16string& path, KeyRecord& key) {
  HKEY handle = nullptr;
  if (::RegOpenKeyExW(root, path.empty() ? nullptr : Wide(path), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
    return false;
  }
  std::vector<std::u16string> subkeys;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD length = 256;
    if (::RegEnumKeyExW(handle, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    subkeys.emplace_back(reinterpret_cast<const char16_t*>(name), length);
  }
  for (DWORD i = 0;; ++i) {
    std::vector<wchar_t> name(16384);
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD type = 0;
    DWORD size = 0;
    if (::RegEnumValueW(handle, i, name.data(), &nameLength, nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
      break;
    }
    ValueRecord value{std::u16string(reinterpret_cast<const char16_t*>(name.data()), nameLength), type,
                      std::vector<BYTE>(size)};
    nameLength = static_cast<DWORD>(name.size());
    ::RegEnumValueW(handle, i, name.data(), &nameLength, nullptr, &type, value.data.data(), &size);
    value.data.resize(size);
    key.values.push_back(std::move(value));
  }
  ::RegCloseKey(handle);
  for (const std::u16string& subkey : subkeys) {
    KeyRecord child{subkey, {}, {}};
    if (ReadTree(root, Join(path, subkey), child)) key.children.push_back(std::move(child));
  }
  return true;
}

#else

bool ReadTree(HKEY root, const std::u16string& path, KeyRecord& key) {
  const emu::KeyContents contents = emu::ReadKey(root, path);
  if (!contents.exists) return false;
  for (const emu::Value& value : contents.values) {
    key.values.push_back({value.name, value.type, value.data});
  }
  for (const std::u16string& subkey : contents.subkeys) {
    KeyRecord child{subkey, {}, {}};
    if (ReadTree(root, Join(path, subkey), child)) key.children.push_back(std::move(child));
  }
  return true;
}

#endif

char16_t Fold(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool LessIgnoringCase(const std::u16string& a, const std::u16string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char16_t x, char16_t y) { return Fold(x) < Fold(y); });
}

std::string Hex(const std::vector<BYTE>& data) {
  std::string text;
  char pair[3];
  for (BYTE b : data) {
    std::snprintf(pair, sizeof(pair), "%02x", b);
    text += pair;
  }
  return text;
}

// The string held by `data` when it is exactly printable text plus one
// terminator; false otherwise.
bool AsText(const std::vector<BYTE>& data, std::u16string& text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  const std::size_t units = data.size() / 2 - 1;
  text.clear();
  for (std::size_t i = 0; i <= units; ++i) {
    const char16_t c = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    if (i == units) return c == 0;
    if (c < 0x20) return false;
    text += c;
  }
  return false;
}

std::string FormatData(const ValueRecord& value) {
  std::u16string text;
  auto withHex = [&](const char* type) {
    const std::string hex = Hex(value.data);
    return hex.empty() ? std::string(type) : std::string(type) + " " + hex;
  };
  switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      const std::string type = value.type == REG_SZ ? "sz" : "expand_sz";
      return AsText(value.data, text) ? type + " \"" + Utf8(text) + "\"" : withHex(type.c_str());
    }
    case REG_DWORD:
      if (value.data.size() == 4) {
        char number[16];
        const unsigned n = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                           (static_cast<unsigned>(value.data[3]) << 24);
        std::snprintf(number, sizeof(number), "0x%08x", n);
        return std::string("dword ") + number;
      }
      return withHex("dword");
    case REG_BINARY:
      return withHex("binary");
    case REG_MULTI_SZ:
      return withHex("multi");
    default:
      return withHex(("type" + std::to_string(value.type)).c_str());
  }
}

void Format(const KeyRecord& key, const std::u16string& path, bool isRoot, std::string& out) {
  if (!isRoot) out += Utf8(path) + "\n";
  std::vector<const ValueRecord*> values;
  for (const ValueRecord& value : key.values) values.push_back(&value);
  std::sort(values.begin(), values.end(),
            [](const ValueRecord* a, const ValueRecord* b) { return LessIgnoringCase(a->name, b->name); });
  for (const ValueRecord* value : values) {
    out += "  " + (value->name.empty() ? std::string("@") : "\"" + Utf8(value->name) + "\"");
    out += " = " + FormatData(*value) + "\n";
  }
  std::vector<const KeyRecord*> children;
  for (const KeyRecord& child : key.children) children.push_back(&child);
  std::sort(children.begin(), children.end(),
            [](const KeyRecord* a, const KeyRecord* b) { return LessIgnoringCase(a->name, b->name); });
  for (const KeyRecord* child : children) Format(*child, path + u"\\" + child->name, false, out);
}

}  // namespace

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::vector<BYTE> TextBytes(const std::u16string& text, bool terminate) {
  std::vector<BYTE> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<BYTE>(c & 0xFF));
    bytes.push_back(static_cast<BYTE>(c >> 8));
  }
  if (terminate) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

std::string DumpRegistry(HKEY root, const std::u16string& path) {
  KeyRecord key;
  if (!ReadTree(root, path, key)) return "(no key)\n";
  std::string out;
  Format(key, u"", true, out);
  return out;
}

}  // namespace test
