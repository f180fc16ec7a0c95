// The `explain` verb: one row of the table of findings, said in full.
#include "cli/explain_command.h"

#include <string>
#include <vector>

#include "findings/finding.h"
#include "options/command_line.h"

namespace check {

const VerbSpec kExplainSpec = {"explain",
                               "CODE",
                               "  CODE           a finding code, as a report names it (script-unreadable)\n",
                               {},
                               "Prints what the finding means and what to write instead; the guide\n"
                               "(docs/package-authors.md) has more under the heading named.\n",
                               true};

namespace {

// The text of one row: its code and severity, the full description, the help with its two lines.
std::string Explanation(const FindingRow& row) {
  return std::string(row.code) + " (" + SeverityName(row.severity) + "): " + row.shortDescription + "\n\n" +
         row.fullDescription + "\n\n" + row.help + "\n\n  wrong: " + row.wrong + "\n  right: " + row.right +
         "\n\nSee docs/package-authors.md#" + row.anchor + "\n";
}

std::string CodeList() {
  std::string out;
  for (const FindingRow& row : kFindingRows) out += std::string(out.empty() ? "" : ", ") + row.code;
  return out;
}

}  // namespace

int ExplainCommand(const std::vector<std::string>& args) {
  ParsedLine line;
  const int exit = ReadCommandLine(kExplainSpec, args, &line);
  if (exit >= 0) return exit;
  if (line.operands.size() != 1)
    return Refuse(kExplainSpec, "name one finding code; the codes: " + CodeList());
  const FindingRow* row = FindRow(line.operands[0]);
  if (!row) {
    return Refuse(kExplainSpec,
                  "no finding has the code " + Quoted(line.operands[0]) + "; the codes: " + CodeList());
  }
  return PrintChecked("stub-check", Explanation(*row)) ? 0 : 2;
}

}  // namespace check
