// Inside the host library: a bounded reading of an assembly manifest before
// the system's activation-context code sees it. It refuses what that code
// refuses or cannot survive (a file too large, nesting without end, a
// comClass without its identifier, a version that is no version, a second
// XML declaration) and collects the comClass entries on the way. Plain C++
// without the Windows headers, so that it can be fuzzed anywhere; time and
// memory grow linearly with the manifest's size.
#ifndef STUB_SDK_HOST_MANIFEST_SCREEN_H
#define STUB_SDK_HOST_MANIFEST_SCREEN_H

#include <cstddef>
#include <string>
#include <vector>

namespace stub {
namespace host {
namespace detail {

// Larger than this, a manifest is refused unread (the package checker's own limit).
constexpr std::size_t kManifestSizeLimit = 8u * 1024 * 1024;
// Elements nested deeper than this are refused, by this reader for the host
// library and for the package checker alike: the system's activation-context
// code refuses a manifest nested 64 deep.
constexpr std::size_t kManifestDepthLimit = 63;

// Why a manifest is refused.
enum class ManifestFault {
  None,
  TooLarge,            // more than kManifestSizeLimit bytes
  NotXml,              // unbalanced or unclosed markup, text outside the root, no root, two roots
  DocumentType,        // <!DOCTYPE ...> or another declaration: a manifest holds none
  SecondDeclaration,   // an <?xml ...?> declaration anywhere but at the very start
  TooDeep,             // elements nested more than kManifestDepthLimit deep
  DuplicateAttribute,  // an element names one attribute twice
  NotAssembly,         // the root element is not <assembly>
  MissingIdentity,     // the assembly's own assemblyIdentity lacks type, name or version
  BadVersion,          // a version that is not four numbers of 0 to 65535 joined by periods
  NoClassId,           // a comClass without a clsid that is a braced class identifier
  Markup,              // a CDATA section or a processing instruction: the system refuses either
  ClassInTwoFiles,     // one class under two file elements: the system takes it, then cannot create it
};

// One comClass element (UTF-8; entities replaced, save in the clsid, which
// the system reads as written), with the name of the file
// element it stands in (empty for one outside any file element).
struct ScreenedClass {
  std::string file;
  std::string clsid;
  std::string progId;                    // the progid attribute
  std::string versionIndependentProgId;  // the first progid child element's text, blanks trimmed
  std::string threadingModel;
  std::string description;
};

struct ManifestScreen {
  ManifestFault fault = ManifestFault::None;
  std::size_t at = 0;                  // the byte of the (decoded) text where the fault was found
  std::vector<ScreenedClass> classes;  // those read before any fault
};

// Screens a manifest's bytes: UTF-8 with or without a byte order mark, or
// UTF-16 (either byte order) after its byte order mark.
ManifestScreen ScreenManifest(const std::string& bytes);

// The class `clsid` (braced, either case) the manifest serves from the file
// `moduleFile` (file names compared without regard to ASCII case); null
// where it serves none.
const ScreenedClass* FindClass(const ManifestScreen& screen, const std::string& moduleFile,
                               const std::string& clsid);

// Whether `text` is an assembly version: four decimal numbers of 0 to 65535
// joined by periods.
bool IsAssemblyVersion(const std::string& text);

// Whether `text` is a braced class identifier {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
// (either case), blanks around it allowed (a class the system then does not
// serve, not a manifest it refuses).
bool IsBracedClassId(const std::string& text);

}  // namespace detail
}  // namespace host
}  // namespace stub

#endif  // STUB_SDK_HOST_MANIFEST_SCREEN_H
