// The command line of every verb: one table of options per verb, read both
// by the parser and by the verb's --help, and interrupts held while a verb
// writes. io/'s checked files and text/'s helpers come with it, for the verbs.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "io/checked_files.h"
#include "text/text.h"

namespace check {

/// One option of a verb. `value` names its value in the help ("FILE"; "a|b"
/// lists the only values taken); null for a flag. `help` may hold several lines.
struct OptionSpec {
  const char* name;
  const char* value;
  bool repeatable;
  const char* help;
};

/// The options of one verb, from which its --help is made.
struct VerbSpec {
  const char* verb;           // "check", "new", "export"
  const char* usageNote;      // lines after the usage line (another way to call the verb), or ""
  const char* operand;        // the name of the one operand ("PACKAGE", "NAME", "MODULE")
  const char* about;          // lines before the options
  std::vector<OptionSpec> options;
  const char* after;          // lines after the options
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

/// Reads `args` (less the verb) against `table`: options in any order,
/// "--name value" or "--name=value", "--" ending them. False with `problem`
/// (what is wrong and what to do) for anything the table does not allow.
bool ParseCommandLine(const VerbSpec& table, const std::vector<std::string>& args, ParsedLine* line,
                      std::string* problem);

/// The verb's --help text, made from its table.
std::string Usage(const VerbSpec& table);

/// The verb of a whole command line (less the program name), and the other
/// arguments in `rest`: the first operand, when it is exactly one of `verbs`
/// and comes before any "--"; else "check", with every argument.
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

}  // namespace check
