// The host library's table of states (sdk/host/state_rows.inc) against the
// table of states in docs/hosts.md: every state has its line there, as its
// row gives it, and every state the guide names is a row whose line it is.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct Row {
  const char* word;
  const char* guide;
};

const Row kRows[] = {
#define STUB_HOST_STATE(state, word, first, second, remedy, remedyNoClass, guide) {word, guide},
#include "../../sdk/host/state_rows.inc"
#undef STUB_HOST_STATE
};

// The lines of the guide's table of class states ("The sample host").
std::vector<std::string> GuideTable() {
  std::ifstream guide(STUB_HOSTS_GUIDE);
  std::vector<std::string> table;
  std::string line;
  bool inSection = false, inTable = false;
  while (std::getline(guide, line)) {
    if (line.rfind("## ", 0) == 0) inSection = line == "## The sample host";
    if (inSection && line.find("A class's `state`, with the fields") == 0) inTable = true;
    if (!inTable) continue;
    if (line.rfind("| `", 0) == 0) {
      table.push_back(line);
    } else if (!table.empty()) {
      break;
    }
  }
  return table;
}

// The states a line of the table names: the words in backquotes in its first
// column, before the fields in parentheses.
std::vector<std::string> WordsOf(const std::string& line) {
  std::string column = line.substr(2, line.find(" | ", 2) - 2);
  column = column.substr(0, column.find(" ("));
  std::vector<std::string> words;
  for (size_t open = column.find('`'); open != std::string::npos;) {
    const size_t close = column.find('`', open + 1);
    if (close == std::string::npos) break;
    words.push_back(column.substr(open + 1, close - open - 1));
    open = column.find('`', close + 1);
  }
  return words;
}

TEST(HostStateRowsTest, TheGuidesTableHasEveryRowsLineAndNoOtherState) {
  const std::vector<std::string> table = GuideTable();
  ASSERT_FALSE(table.empty()) << "no table of class states under \"The sample host\" in " << STUB_HOSTS_GUIDE;
  const std::set<std::string> lines(table.begin(), table.end());
  std::map<std::string, std::string> guideOf;
  for (const Row& row : kRows) {
    guideOf[row.word] = row.guide;
    EXPECT_EQ(lines.count(row.guide), 1u) << row.word << ": the guide has no line\n  " << row.guide;
    const std::vector<std::string> words = WordsOf(row.guide);
    EXPECT_NE(std::find(words.begin(), words.end(), row.word), words.end())
        << row.word << ": its line names other states\n  " << row.guide;
  }
  EXPECT_EQ(guideOf.size(), sizeof kRows / sizeof kRows[0]) << "two rows share a word";
  for (const std::string& line : table) {
    for (const std::string& word : WordsOf(line)) {
      const auto row = guideOf.find(word);
      EXPECT_TRUE(row != guideOf.end() && row->second == line)
          << word << ": the guide names a state whose row gives it another line, or none\n  " << line;
    }
  }
}

}  // namespace
