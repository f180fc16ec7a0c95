// The module file read from its bytes as Windows' loader would see it (so the
// same on Linux): PE DLL or not, its processor, exports and version resource.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "findings/finding.h"
#include "module/module_file.h"
#include "module/module_sources.h"

namespace check {
namespace {

// The summary below counts them in words.
static_assert(std::size(kModuleExports) == 5, "Summary says \"the five exports of Stub.dll\"");

// The PE header's machine field: the name of the processor, and the bits of an x86 Windows process.
struct Machine {
  unsigned id;
  const char* name;
  int bits;
};
constexpr Machine kMachines[] = {{0x014C, "x86", 32},
                                 {0x8664, "x64", 64},
                                 {0xAA64, "ARM64", 0},
                                 {0x01C4, "ARM", 0},
                                 {0x0200, "Itanium", 0}};

// Where no section of the file is: far past its end, so that no field there can be read.
constexpr std::size_t kNowhere = SIZE_MAX / 4;

// The file as its headers lay it out: little-endian fields, and sections that map relative addresses.
struct Image {
  struct Section {
    std::uint32_t address, fileSize, fileOffset;
  };
  const std::string& b;
  std::vector<Section> sections;
  bool Has(std::size_t at, std::size_t n) const { return at <= b.size() && b.size() - at >= n; }
  // The field of `n` bytes at `at`, 0 past the end.
  std::uint32_t Get(std::size_t at, int n) const {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0 && Has(at, n); --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
  }
  // The file offset of `rva`; kNowhere when it is 0 or no section holds it.
  std::size_t At(std::uint32_t rva) const {
    for (const Section& s : sections) {
      if (rva && rva >= s.address && rva - s.address < s.fileSize)
        return s.fileOffset + std::size_t{rva - s.address};
    }
    return kNowhere;
  }
};

// FileVersion from the fixed file information of the version resource directory at `base`.
bool VersionOf(const Image& in, std::size_t base, std::string* version) {
  std::uint32_t at = 0;
  bool isDirectory = true;
  // Type (RT_VERSION), then its first name, then its first language: the first entry of a directory
  // each (by id for the type), pointing at another directory but for the last.
  for (int level = 0; level < 3; ++level) {
    const std::size_t directory = base + at;
    const std::size_t end = directory + 16 + 8 * (in.Get(directory + 12, 2) + in.Get(directory + 14, 2));
    bool found = false;
    for (std::size_t entry = directory + 16; isDirectory && !found && entry < end && in.Has(entry, 8);
         entry += 8) {
      const std::uint32_t name = in.Get(entry, 4), offset = in.Get(entry + 4, 4);
      if (level == 0 && ((name & 0x80000000u) || name != 16)) continue;
      isDirectory = (offset & 0x80000000u) != 0;
      at = offset & 0x7FFFFFFFu;
      found = true;
    }
    if (!found) return false;
  }
  const std::size_t data = in.Has(base + at, 8) ? in.At(in.Get(base + at, 4)) : kNowhere;
  // VS_VERSIONINFO: three words, the key "VS_VERSION_INFO" in UTF-16 with its
  // terminator, padding to four bytes, then VS_FIXEDFILEINFO.
  const std::size_t fixed = data + (6 + 2 * (std::strlen("VS_VERSION_INFO") + 1) + 3) / 4 * 4;
  if (isDirectory || in.Get(data + 2, 2) < 52 || !in.Has(fixed, 16) || in.Get(fixed, 4) != 0xFEEF04BD)
    return false;
  const std::uint32_t ms = in.Get(fixed + 8, 4), ls = in.Get(fixed + 12, 4);
  *version = std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) +
             "." + std::to_string(ls & 0xFFFF);
  return true;
}

std::string Join(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

}  // namespace

ModuleFile ReadModuleFile(const std::string& path, bool found, const std::string& bytes) {
  ModuleFile m;
  m.path = path;
  m.found = found;
  if (!found) return m;
  Image in{bytes, {}};
  const std::size_t pe = in.Get(0x3C, 4);
  if (bytes.empty()) {
    m.format = "an empty file";
  } else if (bytes.compare(0, 2, "MZ") != 0) {
    m.format = "not a Windows module (it does not start with the executable signature MZ)";
  } else if (!in.Has(0x3C, 4) || !in.Has(pe, 26) || in.Get(pe, 4) != 0x00004550u) {
    m.format = "an MZ file without a valid PE header (a DOS program, or a damaged file)";
  } else {
    m.isPe = true;
    m.isDll = (in.Get(pe + 22, 2) & 0x2000) != 0;  // IMAGE_FILE_DLL
    m.format = m.isDll ? "a PE DLL" : "a PE program, not a DLL";
  }
  if (!m.isPe) return m;
  const unsigned machine = in.Get(pe + 4, 2);
  char text[16];
  std::snprintf(text, sizeof text, "machine 0x%04X", machine);
  m.architecture = text;
  for (const Machine& row : kMachines) {
    if (row.id == machine) m.architecture = row.name, m.bits = row.bits;
  }
  // The sections, after the optional header, whose data directories (export, resource) depend on its kind.
  const std::size_t optional = pe + 24, directories = optional + (in.Get(optional, 2) == 0x20B ? 112 : 96);
  for (std::size_t i = 0, at = optional + in.Get(pe + 20, 2); i < in.Get(pe + 6, 2) && in.Has(at + 8, 16);
       ++i, at += 40) {
    in.sections.push_back({in.Get(at + 12, 4), in.Get(at + 16, 4), in.Get(at + 20, 4)});
  }
  // The export directory's names, and which of Stub.dll's five are among them.
  std::vector<std::string> names;
  const std::size_t exports = in.At(in.Get(directories, 4));
  const std::size_t table = in.Has(exports, 36) ? in.At(in.Get(exports + 32, 4)) : kNowhere;
  for (std::uint32_t i = 0; table != kNowhere && i < in.Get(exports + 24, 4) && i < 65536; ++i) {
    const std::size_t name = in.Has(table + 4u * i, 4) ? in.At(in.Get(table + 4u * i, 4)) : kNowhere;
    if (name == kNowhere) break;
    names.push_back(name < bytes.size() ? bytes.substr(name, 256).c_str() : "");
  }
  for (const char* wanted : kModuleExports)
    (std::find(names.begin(), names.end(), wanted) != names.end() ? m.exports : m.missing).push_back(wanted);
  m.hasVersion = VersionOf(in, in.At(in.Get(directories + 16, 4)), &m.version);
  return m;
}

int ModuleFile::Exit(const char* entry) const {
  if (!found) return -1;
  if (!isPe || !isDll || !bits) return 3;
  return std::count(exports.begin(), exports.end(), entry) ? -1 : 4;
}

std::string ModuleFile::Summary() const {
  if (!found || !isPe) return found ? format : "";
  // Stub.dll's exports in a file the loader refuses: the format says why.
  return format +
         (IsThisModule()    ? " with the five exports of Stub.dll"
          : missing.empty() ? ", with the five exports of Stub.dll"
          : exports.empty() ? " without any export of Stub.dll (another program's file)"
                            : " that lacks " + Join(missing) + " (it exports " + Join(exports) +
                                  "): not a copy of Stub.dll") +
         (hasVersion ? "; version " + version : "; no version resource");
}

std::string ModuleFile::ArchitectureLine() const {
  if (bits == 32) {
    return "x86 (32-bit): loads in 32-bit host processes only; on 64-bit Windows %windir%\\SysWOW64\\"
           "regsvr32.exe registers it, into the 32-bit registry view (HKCR\\WOW6432Node\\CLSID as 64-bit "
           "programs see it); on 32-bit Windows, regsvr32";
  }
  if (bits == 64) {
    return "x64 (64-bit): loads in 64-bit host processes only, on 64-bit Windows; %windir%\\System32\\"
           "regsvr32.exe (a plain regsvr32) registers it, into the 64-bit registry view";
  }
  return architecture + ": neither 32-bit nor 64-bit x86 Windows processes load it";
}

void CheckModuleFile(const ModuleFile& m, const std::string& moduleName, std::vector<Finding>* findings) {
  if (!m.found && !m.problem.empty()) {
    findings->push_back(Raise(FindingCode::kModuleUnreadable, "", 0, 0,
                              "the module file " + m.path + " is there but cannot be read: " + m.problem,
                              "make " + m.path + " a regular file the user can read: a copy of Stub.dll"));
  }
  if (!m.found || m.IsThisModule()) return;
  FindingCode code = FindingCode::kNotThisModule;
  std::string what = "is not a copy of Stub.dll";
  std::vector<std::string> notes;
  if (!m.isPe) {
    code = FindingCode::kNotAModule, what = "is " + m.format;
    notes = {"Windows cannot load it, so regsvr32 exits 3 (with no box)",
             "COM clients cannot create the classes"};
  } else if (!m.isDll) {
    code = FindingCode::kNotADll, what = "is " + m.format;
    notes = {"it cannot serve as an in-process server", "regsvr32 exits 3"};
  } else if (m.Exit("DllRegisterServer") == 3) {
    code = FindingCode::kWrongArchitecture, what = "is a DLL for " + m.architecture;
    notes = {"Windows on x86 and x64 processors does not load it", "regsvr32 exits 3"};
  } else {
    notes = {
        "it lacks " + Join(m.missing),
        m.Exit("DllRegisterServer") < 0
            ? "regsvr32 runs that file's own DllRegisterServer, not this module's, so the scripts are not "
              "what registers"
            : "regsvr32 loads it, finds no DllRegisterServer and exits 4 without registering anything"};
  }
  findings->push_back(
      Raise(code, "", 0, 0, "the module file " + m.path + " " + what,
            "copy Stub.dll byte for byte as " + moduleName +
                ": the release's x86/Stub.dll for 32-bit hosts, x64/Stub.dll for 64-bit hosts (or "
                "make the package with stub-check new)"));
  findings->back().notes = std::move(notes);
}

}  // namespace check
