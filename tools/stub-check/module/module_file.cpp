// The module file itself, read as Windows' loader would see it: whether it is
// a PE DLL at all, for which processor, whether its exports are this
// module's, and its version resource. Read from the bytes, so the check runs
// the same on Linux as on Windows.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "checker.h"

namespace check {
namespace {

constexpr const char* kExports[5] = {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer",
                                     "DllUnregisterServer", "DllInstall"};
constexpr std::uint16_t kMachineX86 = 0x014C, kMachineX64 = 0x8664, kMachineArm = 0x01C4,
                        kMachineArm64 = 0xAA64, kMachineIa64 = 0x0200;
constexpr std::uint16_t kFileDll = 0x2000;
constexpr std::uint32_t kResourceVersion = 16;  // RT_VERSION
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;

// Little-endian reads that answer false past the end of the bytes.
struct Bytes {
  const std::string& b;
  bool U16(std::size_t at, std::uint16_t* v) const {
    if (at > b.size() || b.size() - at < 2) return false;
    *v = static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1])
                                                                            << 8);
    return true;
  }
  bool U32(std::size_t at, std::uint32_t* v) const {
    std::uint16_t lo = 0, hi = 0;
    if (!U16(at, &lo) || !U16(at + 2, &hi)) return false;
    *v = lo | static_cast<std::uint32_t>(hi) << 16;
    return true;
  }
};

struct Section {
  std::uint32_t address, size, fileOffset, fileSize;
};

// The file offset of a relative virtual address, through the section table.
bool OffsetOf(const std::vector<Section>& sections, std::uint32_t rva, std::size_t* offset) {
  for (const Section& s : sections) {
    const std::uint32_t extent = s.size > s.fileSize ? s.size : s.fileSize;
    if (rva >= s.address && rva - s.address < extent && rva - s.address < s.fileSize) {
      *offset = static_cast<std::size_t>(s.fileOffset) + (rva - s.address);
      return true;
    }
  }
  return false;
}

std::vector<std::string> ExportNames(const Bytes& in, const std::vector<Section>& sections,
                                     std::uint32_t directory) {
  std::vector<std::string> names;
  std::size_t at = 0;
  std::uint32_t count = 0, table = 0;
  if (!directory || !OffsetOf(sections, directory, &at) || !in.U32(at + 24, &count) ||
      !in.U32(at + 32, &table)) {
    return names;
  }
  std::size_t tableAt = 0;
  if (!OffsetOf(sections, table, &tableAt)) return names;
  for (std::uint32_t i = 0; i < count && i < 65536; ++i) {
    std::uint32_t rva = 0;
    std::size_t nameAt = 0;
    if (!in.U32(tableAt + 4u * i, &rva) || !OffsetOf(sections, rva, &nameAt)) break;
    names.push_back(nameAt < in.b.size() ? in.b.substr(nameAt, 256).c_str() : "");
  }
  return names;
}

// The first entry of a resource directory (by `id` when `id` is not 0): the
// offset of what it points at, relative to the resource section, and whether
// that is another directory.
bool ResourceEntry(const Bytes& in, std::size_t base, std::size_t directory, std::uint32_t id,
                   std::uint32_t* target, bool* isDirectory) {
  std::uint16_t named = 0, numbered = 0;
  if (!in.U16(base + directory + 12, &named) || !in.U16(base + directory + 14, &numbered)) {
    return false;
  }
  for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(named) + numbered; ++i) {
    std::uint32_t name = 0, offset = 0;
    if (!in.U32(base + directory + 16 + 8 * i, &name) || !in.U32(base + directory + 20 + 8 * i, &offset)) {
      return false;
    }
    if (id && ((name & 0x80000000u) || name != id)) continue;
    *isDirectory = (offset & 0x80000000u) != 0;
    *target = offset & 0x7FFFFFFFu;
    return true;
  }
  return false;
}

// FileVersion from the fixed file information of the version resource.
bool VersionOf(const Bytes& in, const std::vector<Section>& sections, std::uint32_t directory,
               std::string* version) {
  std::size_t base = 0;
  if (!directory || !OffsetOf(sections, directory, &base)) return false;
  std::uint32_t at = 0;
  bool isDirectory = false;
  // Type (RT_VERSION), then its first name, then its first language.
  if (!ResourceEntry(in, base, 0, kResourceVersion, &at, &isDirectory) || !isDirectory) return false;
  if (!ResourceEntry(in, base, at, 0, &at, &isDirectory) || !isDirectory) return false;
  if (!ResourceEntry(in, base, at, 0, &at, &isDirectory) || isDirectory) return false;
  std::uint32_t dataRva = 0, dataSize = 0;
  std::size_t data = 0;
  if (!in.U32(base + at, &dataRva) || !in.U32(base + at + 4, &dataSize) ||
      !OffsetOf(sections, dataRva, &data)) {
    return false;
  }
  // VS_VERSIONINFO: three words, the key "VS_VERSION_INFO" in UTF-16 with its
  // terminator, padding to four bytes, then VS_FIXEDFILEINFO.
  std::uint16_t valueLength = 0;
  if (!in.U16(data + 2, &valueLength) || valueLength < 52) return false;
  std::size_t fixed = data + 6 + 2 * (std::strlen("VS_VERSION_INFO") + 1);
  fixed = (fixed - data + 3) / 4 * 4 + data;
  std::uint32_t signature = 0, ms = 0, ls = 0;
  if (!in.U32(fixed, &signature) || signature != kFixedInfoSignature || !in.U32(fixed + 8, &ms) ||
      !in.U32(fixed + 12, &ls)) {
    return false;
  }
  char text[48];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(ms >> 16),
                static_cast<unsigned>(ms & 0xFFFF), static_cast<unsigned>(ls >> 16),
                static_cast<unsigned>(ls & 0xFFFF));
  *version = text;
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
  const Bytes in{bytes};
  std::uint32_t peAt = 0, signature = 0;
  std::uint16_t machine = 0, sectionCount = 0, optionalSize = 0, characteristics = 0, magic = 0;
  if (bytes.empty()) {
    m.format = "an empty file";
  } else if (bytes.compare(0, 2, "MZ") != 0) {
    m.format = "not a Windows module (it does not start with the executable signature MZ)";
  } else if (!in.U32(0x3C, &peAt) || !in.U32(peAt, &signature) || signature != 0x00004550u ||
             !in.U16(peAt + 4, &machine) || !in.U16(peAt + 6, &sectionCount) ||
             !in.U16(peAt + 20, &optionalSize) || !in.U16(peAt + 22, &characteristics) ||
             !in.U16(peAt + 24, &magic)) {
    m.format = "an MZ file without a valid PE header (a DOS program, or a damaged file)";
  } else {
    m.isPe = true;
    m.isDll = (characteristics & kFileDll) != 0;
    m.format = m.isDll ? "a PE DLL" : "a PE program, not a DLL";
  }
  if (!m.isPe) return m;

  m.machine = machine;
  static const struct {
    std::uint16_t machine;
    const char* name;
    int bits;
  } kMachines[] = {{kMachineX86, "x86", 32},
                   {kMachineX64, "x64", 64},
                   {kMachineArm64, "ARM64", 0},
                   {kMachineArm, "ARM", 0},
                   {kMachineIa64, "Itanium", 0}};
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", machine);
  m.architecture = std::string("machine ") + text;
  for (const auto& row : kMachines) {
    if (row.machine == machine) m.architecture = row.name, m.bits = row.bits;
  }

  // The optional header's data directories: export (0) and resource (2).
  const std::size_t optional = peAt + 24;
  const std::size_t directories = optional + (magic == 0x20B ? 112 : 96);
  std::uint32_t exportRva = 0, resourceRva = 0;
  in.U32(directories, &exportRva);
  in.U32(directories + 16, &resourceRva);
  std::vector<Section> sections;
  const std::size_t table = optional + optionalSize;
  for (std::uint16_t i = 0; i < sectionCount; ++i) {
    Section s{};
    const std::size_t at = table + 40u * i;
    if (!in.U32(at + 8, &s.size) || !in.U32(at + 12, &s.address) || !in.U32(at + 16, &s.fileSize) ||
        !in.U32(at + 20, &s.fileOffset)) {
      break;
    }
    sections.push_back(s);
  }
  const std::vector<std::string> names = ExportNames(in, sections, exportRva);
  for (const char* wanted : kExports) {
    (std::find(names.begin(), names.end(), wanted) != names.end() ? m.exports : m.missing).push_back(wanted);
  }
  m.hasVersion = VersionOf(in, sections, resourceRva, &m.version);
  return m;
}

bool ModuleFile::IsThisModule() const {
  return isPe && isDll && (machine == kMachineX86 || machine == kMachineX64) && missing.empty();
}

bool ModuleFile::Exports(const char* name) const {
  return std::find(exports.begin(), exports.end(), name) != exports.end();
}

int ModuleFile::Exit(const char* entry) const {
  if (!found) return -1;
  // What the loader refuses: regsvr32 cannot load the file (3).
  if (!isPe || !isDll || (machine != kMachineX86 && machine != kMachineX64)) return 3;
  // It loads, but the entry point regsvr32 calls is missing (4).
  if (!Exports(entry)) return 4;
  return -1;
}

std::string ModuleFile::Summary() const {
  if (!found) return "";
  std::string out = format;
  if (!isPe) return out;
  if (IsThisModule()) {
    out += " with the five exports of Stub.dll";
  } else if (missing.empty()) {
    // Stub.dll's exports in a file the loader refuses (the format says why).
    out += ", with the five exports of Stub.dll";
  } else if (exports.empty()) {
    out += " without any export of Stub.dll (another program's file)";
  } else {
    out += " that lacks " + Join(missing) + " (it exports " + Join(exports) + "): not a copy of Stub.dll";
  }
  out += hasVersion ? "; version " + version : "; no version resource";
  return out;
}

std::string ModuleFile::ArchitectureLine() const {
  if (machine == kMachineX86) {
    return "x86 (32-bit): loads in 32-bit host processes only; on 64-bit Windows "
           "%windir%\\SysWOW64\\regsvr32.exe registers it, into the 32-bit registry view "
           "(HKCR\\WOW6432Node\\CLSID as 64-bit programs see it); on 32-bit Windows, regsvr32";
  }
  if (machine == kMachineX64) {
    return "x64 (64-bit): loads in 64-bit host processes only, on 64-bit Windows; "
           "%windir%\\System32\\regsvr32.exe (a plain regsvr32) registers it, into the 64-bit "
           "registry view";
  }
  return architecture + ": neither 32-bit nor 64-bit x86 Windows processes load it";
}

void CheckModuleFile(const ModuleFile& m, const std::string& moduleName, std::vector<Finding>* findings) {
  if (!m.found && !m.problem.empty()) {
    findings->push_back({Severity::kError, "module-unreadable", "", 0, 0,
                         "the module file " + m.path + " is there but cannot be read: " + m.problem,
                         "make " + m.path + " a regular file the user can read: a copy of Stub.dll"});
  }
  if (!m.found || m.IsThisModule()) return;
  std::string code = "not-this-module", what = "is not a copy of Stub.dll";
  std::vector<std::string> notes;
  if (!m.isPe) {
    code = "not-a-module", what = "is " + m.format;
    notes = {"Windows cannot load it, so regsvr32 exits 3 (with no box)",
             "COM clients cannot create the classes"};
  } else if (!m.isDll) {
    code = "not-a-dll", what = "is " + m.format;
    notes = {"it cannot serve as an in-process server", "regsvr32 exits 3"};
  } else if (m.Exit("DllRegisterServer") == 3) {
    code = "wrong-architecture", what = "is a DLL for " + m.architecture;
    notes = {"Windows on x86 and x64 processors does not load it", "regsvr32 exits 3"};
  } else {
    notes = {
        "it lacks " + Join(m.missing),
        m.Exports("DllRegisterServer")
            ? "regsvr32 runs that file's own DllRegisterServer, not this module's, so the scripts are not "
              "what registers"
            : "regsvr32 loads it, finds no DllRegisterServer and exits 4 without registering anything"};
  }
  findings->push_back({Severity::kError, code, "", 0, 0, "the module file " + m.path + " " + what,
                       "copy Stub.dll byte for byte as " + moduleName +
                           ": the release's x86/Stub.dll for 32-bit hosts, x64/Stub.dll for 64-bit hosts (or "
                           "make the package with stub-check new)"});
  findings->back().notes = std::move(notes);
}

}  // namespace check
