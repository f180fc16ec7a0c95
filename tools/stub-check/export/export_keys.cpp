// stub-check export: what registering a package writes, for an installer to write in place of regsvr32.
// The verb checks the package, collects the keys its registration writes on an empty registry, hands them on.
#include <algorithm>
#include <filesystem>

#include "checks/check.h"
#include "checks/package.h"
#include "export/export_command.h"
#include "export/export_format.h"
#include "findings/finding.h"
#include "io/checked_files.h"
#include "io/file_system.h"
#include "io/files.h"
#include "options/command_line.h"
#include "registrar/key_tree.h"
#include "registry/registry_state.h"
#include "report/report.h"
#include "text/identifiers.h"
#include "text/text.h"

namespace check {

const ExportFormat kExportFormats[] = {
    {"reg",
     ".reg text for `reg import`, machine-wide under\n"
     "HKEY_LOCAL_MACHINE\\Software\\Classes",
     nullptr, nullptr, WriteRegText},
    {"wxs",
     "a WiX fragment with the module (and its file version), its\n"
     "package folder and the registry values, the module's path written as [#file]",
     "in the WiX fragment the installer names the installed file itself ([#file])", CheckWixOptions,
     WriteWixFragment},
    {"manifest",
     "the package as a side-by-side assembly, for applications that\n"
     "create its classes without the registry (save it as NAME.manifest)",
     "a manifest names the module beside it and writes no registry key", CheckManifestOptions,
     WriteManifestFile},
};

namespace {
// The --format option's value (reg|wxs|manifest) or its help, from the formats' table.
const char* FormatOption(bool help) {
  static std::string value, text;
  for (const ExportFormat& f : kExportFormats) {
    if (&f == kExportFormats && !value.empty()) break;  // made already
    value += (value.empty() ? "" : "|") + std::string(f.name);
    text += (text.empty() ? "" : ";\n") + std::string(f.name) + (&f == kExportFormats ? " (default)" : "") +
            ": " + f.help;
  }
  return (help ? text : value).c_str();
}

// What an installer writes of `registry`: keys with values and empty leaves, HKCR as the machine's or the
// user's classes. False with `problem` for a root an installer cannot write, or a name text cannot hold.
bool CollectKeys(const Snapshot& registry, bool perUser, std::vector<ExportedKey>* keys,
                 std::string* problem) {
  for (auto it = registry.begin(); it != registry.end(); ++it) {
    const auto next = std::next(it);
    const bool hasSubkeys = next != registry.end() && next->first.rfind(it->first + u"\\", 0) == 0;
    if (it->second.values.empty() && hasSubkeys) continue;
    const std::string path = Utf8(it->second.path);
    const std::size_t slash = path.find('\\');
    const std::string rest = slash == std::string::npos ? "" : path.substr(slash + 1);
    ExportedKey out{FindRootKey(Utf16(path.substr(0, slash)).c_str()), rest, &it->second, false};
    if (out.root == HKEY_CLASSES_ROOT) {
      out.root = perUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
      out.below = rest.empty() ? "Software\\Classes" : "Software\\Classes\\" + rest;
    } else if (out.root != HKEY_LOCAL_MACHINE && out.root != HKEY_CURRENT_USER && out.root != HKEY_USERS) {
      *problem = "registration writes " + path + ", under a root installers cannot write";
      return false;
    }
    out.category = Lower(out.below).rfind("software\\classes\\component categories\\", 0) == 0;
    // Every name must survive the text it is written in.
    std::string unwritable = RegNameWritable(it->second.path) ? "" : "the key " + Quoted(path);
    for (const auto& [folded, value] : it->second.values) {
      if (unwritable.empty() && !RegNameWritable(value.name)) {
        unwritable = "the value " + Quoted(Utf8(value.name)) + " under " + path;
      }
    }
    if (!unwritable.empty()) {
      *problem = "registration writes " + unwritable +
                 ", whose name holds a line break or another control "
                 "character that .reg and installer text cannot hold; rename it in the script";
      return false;
    }
    keys->push_back(out);
  }
  return true;
}

// --module-path, needed where the keys name the installed path, refused where a format names its own file.
bool CheckInstallPath(const ExportFormat& format, const std::string& formatName,
                      const std::string& modulePath, const std::string& moduleName, std::string* problem) {
  const std::string installedName = modulePath.substr(modulePath.rfind('\\') + 1);
  std::string why;
  problem->clear();
  if (format.ownFileReference) {
    std::string names;  // the formats whose keys name the path given
    for (const ExportFormat& f : kExportFormats) {
      if (!f.ownFileReference) names += (names.empty() ? "" : " or ") + std::string(f.name);
    }
    if (!modulePath.empty())
      *problem = "--module-path is for --format " + names + ": " + format.ownFileReference;
  } else if (modulePath.empty()) {
    *problem = "--module-path PATH is required for --format " + formatName +
               ": the keys name the module's installed path (e.g. --module-path "
               "\"C:\\Program Files\\Tarvo\\" +
               moduleName + "\")";
  } else if (!CheckWindowsModulePath(modulePath, &why)) {
    *problem = "--module-path " + Quoted(modulePath) + ": " + why +
               "; give the path the module is installed at, C:\\...\\" + moduleName;
  } else if (Lower(installedName) != Lower(moduleName)) {
    *problem = "--module-path names the file " + installedName + ", but the module is " + moduleName +
               ": installed under another name it would look for its scripts in another folder";
  }
  return problem->empty();
}

// The module copy, read as the check reads it; false with `problem` for anything but a PE module we know.
bool LoadModuleCopy(const std::string& module, Package* package, std::string* problem) {
  const std::string giveModule = " (give the module copy, Aurora.dll)";
  const FileSystem& files = SystemFiles();
  const PathStatus status = files.Status(module);
  problem->clear();
  if (status.kind == PathStatus::Kind::kNone)
    *problem = module + ": no such file" + giveModule;
  else if (status.kind != PathStatus::Kind::kFile)
    *problem = module + ": not a file" + giveModule;
  else if (!LoadPackage(files, module, package, problem))
    return false;
  else if (!package->moduleFile.found)
    *problem = "cannot read " + module + ": " + package->moduleFile.problem;
  else if (!package->moduleFile.isPe)
    *problem = module + ": not a Windows module (no PE header)" + giveModule;
  else if (!package->moduleFile.bits) {
    *problem =
        module + ": a module for another processor (" + package->moduleFile.architecture + ")" + giveModule;
  }
  return problem->empty();
}

}  // namespace

const VerbSpec kExportSpec = {
    "export",
    "MODULE",
    "  Prints exactly what registering the package MODULE (Aurora.dll, its scripts\n"
    "  in Aurora/ beside it) writes on a registry without it, the category entries\n"
    "  included, for an installer to write instead of self-registration; or, with\n"
    "  --format manifest, the package's assembly manifest, for registration-free use.\n",
    {
        {"--format", FormatOption(false), false, FormatOption(true)},
        {"--per-user", nullptr, false,
         "the keys a per-user registration writes (regsvr32 /n /i:user),\n"
         "under HKEY_CURRENT_USER\\Software\\Classes"},
        {"--module-path", "PATH", false,
         "reg: the absolute Windows path the module is installed at (required),\n"
         "with the module's own file name; no <>\"|?*, control characters or\n"
         "device names (CON, NUL, COM1, ...)"},
        {"--directory-id", "ID", false, "wxs: the directory the module goes to (default INSTALLFOLDER)"},
        {"--group", "NAME", false,
         "wxs: the ComponentGroup to define (default: the module's name less .dll)"},
        {"--assembly-name", "ASSEMBLY", false,
         "manifest: the assembly's name, which names ASSEMBLY.manifest\n"
         "(default: the module's name less .dll, then .Assembly): ASCII\n"
         "letters, digits, underscores and periods, no period first, last or\n"
         "two in a row, at most 246 characters, no device name (CON, AUX, ...)"},
    },
    "  ID and NAME are WiX identifiers: 1 to 72 ASCII letters, digits, underscores\n"
    "  and periods, starting with a letter or an underscore.\n"
    "  Line breaks, tabs and other control characters in the scripts' values are\n"
    "  written so that they stay what they are (hex(1): in .reg text, &#9; and the\n"
    "  like in XML); a key or value name that .reg or XML text cannot hold is refused.\n"
    "A package with errors is not exported: stub-check check MODULE shows them.\n"
    "exit code: 0 printed, 2 refused or failed (nothing printed)\n"};

int ExportCommand(const std::vector<std::string>& args) {
  auto Refuse = [](const std::string& message) { return check::Refuse(kExportSpec, message); };
  ParsedLine line;
  if (const int exit = ReadCommandLine(kExportSpec, args, &line); exit >= 0) return exit;
  std::string problem;
  const std::string formatName = line.Get("--format", kExportFormats[0].name);
  const std::string modulePath = line.Get("--module-path");
  const bool perUser = line.Has("--per-user");
  if (line.operands.empty() || line.operands[0].empty()) {
    return Refuse(
        "no module given: name the package's module copy (stub-check export Aurora.dll; "
        "stub-check export --help)");
  }
  const std::string module = line.operands[0];
  // The parser takes only the formats' names (the --format value lists them).
  const ExportFormat* format = std::find_if(std::begin(kExportFormats), std::end(kExportFormats),
                                            [&](const ExportFormat& f) { return formatName == f.name; });
  if (format == std::end(kExportFormats)) return Refuse("--format " + Quoted(formatName) + " is no format");
  if (line.Has("--assembly-name") && format->write != WriteManifestFile) {
    return Refuse("--assembly-name is for --format manifest");
  }
  Package package;
  if (!LoadModuleCopy(module, &package, &problem)) return Refuse(problem);
  const std::string& moduleName = package.moduleName;
  const std::string stem = moduleName.substr(0, moduleName.size() > 4 ? moduleName.size() - 4 : 0);
  if (ShowBytes(moduleName) != moduleName) {
    return Refuse("the module's file name " + Quoted(moduleName) +
                  " is not UTF-8 text, which .reg and "
                  "WiX text must be: rename the package to a UTF-8 name");
  }
  if (!CheckInstallPath(*format, formatName, modulePath, moduleName, &problem)) return Refuse(problem);
  if (format->checkOptions && !format->checkOptions(line, stem, &problem)) return Refuse(problem);
  // Checked as installed where its keys will point, from an empty registry; one with errors is not exported.
  CheckRequest request;
  request.package = std::make_shared<const Package>(package);
  request.installPaths = {Utf16(!format->ownFileReference ? modulePath : kPlaceholderFolder + moduleName)};
  request.perUser = perUser;
  // A request with its package loaded and no registry to read is never refused.
  const Report report = Check(request);
  const Install& install = report.installs[0];
  int errors = 0;
  for (const Finding& f : report.findings) {
    if (f.severity != Severity::kError) continue;
    if (++errors <= 3) io::PrintError("stub-check export: " + TextDiagnostic(f, nullptr, package.moduleName));
  }
  if (errors)
    return Refuse("the package has " + std::to_string(errors) +
                  " error(s); nothing exported "
                  "(stub-check check " +
                  module + " shows them)");
  if (install.registration.result != S_OK) {
    return Refuse(std::string(perUser ? "per-user " : "") + "registration fails with " +
                  DescribeResult(install.registration.result) + "; stub-check check " + module +
                  " shows why");
  }
  std::vector<ExportedKey> keys;
  if (!CollectKeys(install.registered, perUser, &keys, &problem)) return Refuse(problem);
  const auto outside = std::find_if(keys.begin(), keys.end(),
                                    [](const ExportedKey& k) { return k.root != HKEY_CURRENT_USER; });
  if (perUser && outside != keys.end()) {
    io::PrintError(
        "stub-check export: warning: the scripts write " +
        Escaped(Utf8(LongRootName(outside->root)) + "\\" + outside->below) +
        ", outside the classes root: a per-user install runs without elevation and cannot write "
        "there, and the key is not the user's; write every key under HKCR for a per-user package\n");
  }
  const ExportedPackage exported{line,
                                 moduleName,
                                 stem,
                                 package.moduleFile.architecture,
                                 perUser,
                                 package.moduleFile,
                                 *report.package,
                                 install,
                                 keys};
  std::string text;
  if (!format->write(exported, &text, &problem)) return Refuse(problem);
  return PrintChecked("stub-check export", text) ? 0 : 2;
}

}  // namespace check
