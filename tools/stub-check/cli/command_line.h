// The command line of every verb: one table of options per verb, read both
// by the parser and by the verb's --help, and the checked writing of what a
// verb prints, so that a full disk or a closed pipe is never taken for success.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace check {

/// One option of a verb. `value` names its value in the help ("FILE",
/// "x86|x64"); null for a flag. `help` may hold several lines ("\n").
struct OptionSpec {
  const char* name;
  const char* value;
  bool repeatable;
  const char* help;
};

/// The options of one verb. Its usage line is made from them.
struct VerbSpec {
  const char* verb;        // "check", "new", "export"
  const char* usageNote;   // lines after the usage line (another way to call the verb), or ""
  const char* operand;     // the name of the one operand ("PACKAGE", "NAME", "MODULE")
  const char* about;       // lines before the options
  std::vector<OptionSpec> options;
  const char* after;       // lines after the options
  bool operandFirst = false;  // the usage line names the operand before the options
};

struct ParsedLine {
  std::map<std::string, std::vector<std::string>> values;  // by option name; a flag holds one ""
  std::vector<std::string> operands;
  bool help = false;
  bool Has(const std::string& name) const { return values.count(name) != 0; }
  /// The value of a single-value option, `fallback` when not given.
  std::string Get(const std::string& name, const std::string& fallback = "") const;
};

/// Reads `args` (the verb itself not among them) against `table`: options in
/// any order, "--name value" or "--name=value", "--" ending the options. False
/// with `problem` set (a sentence saying what is wrong and what to do) for an
/// unknown option, one without its value, an empty value, a single-value
/// option given twice, more than one operand, or a value that is none of the
/// choices the table names for it ("text|json").
bool ParseCommandLine(const VerbSpec& table, const std::vector<std::string>& args, ParsedLine* line,
                      std::string* problem);

/// The verb's --help text, made from its table: the usage line (each option
/// as [NAME VALUE], "..." after one that may be repeated, the operand), then
/// the table's texts and the options with their help.
std::string Usage(const VerbSpec& table);

/// Splits a whole command line (less the program name) into its verb and the
/// rest: the verb is the first operand when it is exactly one of `verbs` and
/// stands before any "--"; options may come before it. Without one the verb is
/// "check" and every argument stays.
std::string FindVerb(const std::vector<std::string>& argv, const std::vector<const VerbSpec*>& verbs,
                     std::vector<std::string>* rest);

/// While one lives, an interrupt (Ctrl+C, a hang-up, a termination request)
/// waits instead of ending the process; Pending() tells whether one came. When
/// it goes, a waiting interrupt takes its ordinary effect.
class HeldInterrupts {
 public:
  HeldInterrupts();
  ~HeldInterrupts();
  HeldInterrupts(const HeldInterrupts&) = delete;
  HeldInterrupts& operator=(const HeldInterrupts&) = delete;
  bool Pending() const;

 private:
  alignas(8) unsigned char saved_[256];  // the signal mask before (POSIX)
};

/// Writes all of `text` to `file` and flushes it; false with `reason` (the
/// system's words, "No space left on device") when any of it is not written.
bool WriteAll(std::FILE* file, const std::string& text, std::string* reason);

/// Prints `text` on standard output, checked; on failure says so on standard
/// error under `who` ("stub-check export") and answers false.
bool PrintChecked(const std::string& who, const std::string& text);

/// Writes `bytes` to a new file at `path`, which must not exist yet, checking
/// every write, the flush and the close; a file that could not be written
/// whole is removed again. False with `reason` set.
bool WriteNewFile(const std::string& path, const std::string& bytes, std::string* reason);

/// The whole regular file at `path` into `bytes`, when it is at most `limit`
/// bytes long. False with `reason` set otherwise: the system's words for a file
/// that cannot be opened, "a folder, not a file", "a FIFO, not a file", ... for
/// anything but a regular file (so a pipe or a device is never waited on or read
/// without end), or the size and the limit for a file that is too large
/// (`*tooLarge` set then, when given).
bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* bytes,
                     std::string* reason, bool* tooLarge = nullptr);

/// The size limits of what the checker reads. A real script is a few KB; a
/// regedit export of a machine's classes some tens of MB.
constexpr std::size_t kScriptSizeLimit = 8u << 20;
constexpr std::size_t kRegistrySizeLimit = 256u << 20;
constexpr std::size_t kModuleSizeLimit = 64u << 20;

/// "8 MiB", "1.5 MB" as the messages give sizes.
std::string SizeText(unsigned long long bytes);

/// Whether `path` is an absolute Windows path a module can be installed at:
/// a drive (C:\...) or a share (\\server\share\...), backslashes only, no
/// character Windows refuses in a file name (<>"|?* and the control
/// characters) and no ':' but the drive's; otherwise `problem` says why.
bool CheckWindowsModulePath(const std::string& path, std::string* problem);

/// The length of the UTF-8 sequence at `b[i]`, or 0 when the bytes there are not UTF-8.
std::size_t Utf8Sequence(const std::string& b, std::size_t i);
/// `text` as XML attribute or element text: markup characters escaped, a tab
/// or line break as a character reference (no parser turns it into a blank);
/// a character XML cannot hold, or bytes that are not UTF-8, set `problem`.
std::string Xml(const std::string& text, std::string* problem);
/// `text` with every byte that is not part of valid UTF-8 shown as \xHH.
std::string ShowBytes(const std::string& text);

/// `text` quoted for a message: bytes that are not UTF-8 as \xHH, control
/// characters as \t, \n, \r or \xHH.
std::string Quoted(const std::string& text);

}  // namespace check
