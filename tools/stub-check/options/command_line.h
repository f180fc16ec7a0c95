// The command line of every verb: one table of options per verb, read by the parser and its --help;
// interrupts held while a verb writes. io/'s checked files and text/'s helpers come with it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "io/checked_files.h"
#include "text/text.h"

namespace check {

/// `value` names an option's value ("FILE"; "a|b" lists the only values taken), null for a flag.
struct OptionSpec {
  const char* name;
  const char* value;
  bool repeatable;
  const char* help;
};

struct VerbSpec {
  const char* verb;     // "check", "new", "export"
  const char* operand;  // the name of the one operand ("PACKAGE", "NAME", "MODULE"); "": none
  const char* about;    // lines after the usage line, before the options
  std::vector<OptionSpec> options;
  const char* after;          // lines after the options
  bool operandFirst = false;  // the usage line names the operand before the options
};

struct ParsedLine {
  std::map<std::string, std::vector<std::string>> values;  // by option name; a flag holds one ""
  std::vector<std::string> operands;
  bool Has(const std::string& name) const { return values.count(name) != 0; }
  /// The value of a single-value option, `fallback` when not given.
  std::string Get(const std::string& name, const std::string& fallback = "") const {
    const auto it = values.find(name);
    return it == values.end() || it->second.empty() ? fallback : it->second.back();
  }
};

/// Reads `args` (less the verb) against `table`: options in any order, "--name value" or "--name=value",
/// "--" ending them. -1 when the verb goes on with `line`; else its exit code: --help printed (0), or
/// what the table does not allow refused, with what to do (2). With `refusal`, a refusal is handed back
/// there instead of said, `line` holding every option that could be read.
int ReadCommandLine(const VerbSpec& table, const std::vector<std::string>& args, ParsedLine* line,
                    std::string* refusal = nullptr);

/// Says `message` on standard error as "stub-check new: ..." ("stub-check: ..." for check), on one line
/// (escaped as Escaped escapes a name); 2.
int Refuse(const VerbSpec& table, const std::string& message);

/// The verb of a whole command line (less the program name), the other arguments in `rest`: the first
/// operand, when it is exactly one of `verbs` and comes before any "--"; else "check", with every argument.
std::string FindVerb(const std::vector<std::string>& argv, const std::vector<const VerbSpec*>& verbs,
                     std::vector<std::string>* rest);

/// While one lives, an interrupt (Ctrl+C, a hang-up, a termination request) waits instead of ending the
/// process; Pending() tells whether one came. When it goes, a waiting interrupt takes its ordinary effect.
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
