// The verbs' command lines from their option tables, and interrupts held.
#include "cli/command_line.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <atomic>
#else
#include <csignal>
#endif

#include "io/files.h"


namespace check {

namespace fs = std::filesystem;

std::string ParsedLine::Get(const std::string& name, const std::string& fallback) const {
  auto it = values.find(name);
  return it == values.end() || it->second.empty() ? fallback : it->second.back();
}

namespace {

// The usage line's width, at which it wraps.
constexpr std::size_t kUsageWidth = 92;

// The choices of an option whose value the table names as "a|b|c"; none for
// a value named otherwise ("FILE").
std::vector<std::string> Choices(const OptionSpec& option) {
  std::vector<std::string> choices;
  const std::string value = option.value ? option.value : "";
  if (value.find('|') == std::string::npos) return choices;
  for (std::size_t start = 0;;) {
    const std::size_t bar = value.find('|', start);
    choices.push_back(value.substr(start, bar - start));
    if (bar == std::string::npos) return choices;
    start = bar + 1;
  }
}

const OptionSpec* FindOption(const VerbSpec& table, const std::string& name) {
  for (const OptionSpec& o : table.options) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

}  // namespace

bool ParseCommandLine(const VerbSpec& table, const std::vector<std::string>& args, ParsedLine* line,
                      std::string* problem) {
  const std::string more = std::string(" (stub-check ") + table.verb + " --help lists the options)";
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (!optionsEnded && (arg == "--help" || arg == "-h")) {
      line->help = true;
      continue;
    }
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      if (!line->operands.empty()) {
        *problem = "unexpected argument " + Quoted(arg) + ": " + table.verb + " takes one " +
                   table.operand + ", and " + Quoted(line->operands[0]) + " is given already" + more;
        return false;
      }
      line->operands.push_back(arg);
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const OptionSpec* option = FindOption(table, name);
    if (!option) {
      *problem = "unknown option " + Quoted(name) + more;
      return false;
    }
    std::string value;
    if (!option->value) {
      if (equals != std::string::npos) {
        *problem = name + " takes no value" + more;
        return false;
      }
    } else if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      *problem = name + " needs a value: " + name + " " + option->value + more;
      return false;
    }
    if (option->value && value.empty()) {
      *problem = name + " is given an empty value: give " + name + " " + option->value +
                 ", or leave " + name + " out for its default";
      return false;
    }
    const std::vector<std::string> choices = Choices(*option);
    if (!choices.empty() && std::find(choices.begin(), choices.end(), value) == choices.end()) {
      std::string list;
      for (std::size_t k = 0; k < choices.size(); ++k) {
        list += (k == 0 ? "" : k + 1 == choices.size() ? " or " : ", ") + choices[k];
      }
      *problem = name + " must be " + list + ", not " + Quoted(value);
      return false;
    }
    std::vector<std::string>& values = line->values[name];
    if (!values.empty() && !option->repeatable) {
      *problem = name + " is given more than once";
      return false;
    }
    values.push_back(value);
  }
  return true;
}

std::string Usage(const VerbSpec& table) {
  // The usage line, wrapped under its first word.
  const std::string usage = std::string("usage: stub-check ") + table.verb + " ";
  std::vector<std::string> words;
  if (table.operandFirst) words.push_back(table.operand);
  for (const OptionSpec& o : table.options) {
    words.push_back(std::string("[") + o.name + (o.value ? std::string(" ") + o.value : "") + "]" +
                    (o.repeatable ? "..." : ""));
  }
  if (!table.operandFirst) words.push_back(table.operand);
  std::string out = usage, line = usage;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0 && line.size() + 1 + words[i].size() > kUsageWidth) {
      out += "\n" + std::string(usage.size(), ' ');
      line = std::string(usage.size(), ' ');
    } else if (i > 0) {
      out += " ";
      line += " ";
    }
    out += words[i];
    line += words[i];
  }
  out += "\n";
  out += table.usageNote;
  out += table.about;
  std::size_t width = 6;  // "--help"
  for (const OptionSpec& o : table.options) width = std::max(width, std::strlen(o.name));
  for (const OptionSpec& o : table.options) {
    std::string head = std::string("  ") + o.name;
    head.resize(width + 4, ' ');
    const std::string pad(width + 4, ' ');
    std::string help = o.help;
    std::size_t start = 0;
    for (bool first = true; start <= help.size(); first = false) {
      std::size_t end = help.find('\n', start);
      if (end == std::string::npos) end = help.size();
      out += (first ? head : pad) + help.substr(start, end - start) + "\n";
      start = end + 1;
    }
  }
  auto head = [width](std::string name) {
    name = "  " + name;
    name.resize(width + 4, ' ');
    return name;
  };
  out += head("--help") + "this text\n";
  out += head("--") + "ends the options: what follows is the " + table.operand + "\n";
  out += table.after;
  return out;
}

std::string FindVerb(const std::vector<std::string>& argv, const std::vector<const VerbSpec*>& verbs,
                     std::vector<std::string>* rest) {
  *rest = argv;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (arg == "--") break;
    if (!arg.empty() && arg[0] == '-' && arg != "-") {
      // An option before the verb: skip its value, as any verb that knows it reads it.
      if (arg.find('=') != std::string::npos) continue;
      for (const VerbSpec* table : verbs) {
        const OptionSpec* option = FindOption(*table, arg);
        if (option && option->value) {
          ++i;
          break;
        }
      }
      continue;
    }
    for (const VerbSpec* table : verbs) {
      if (arg == table->verb) {
        rest->erase(rest->begin() + static_cast<long>(i));
        return table->verb;
      }
    }
    break;  // the first operand is no verb: it is the package
  }
  return "check";
}

#ifdef _WIN32
namespace {
// The console event that came while interrupts were held (one more than its
// number; 0 for none), and the signal that lets a held closing go on.
std::atomic<DWORD> heldEvent{0};
HANDLE closeMayGoOn = nullptr;

// Runs on a thread of its own. Ctrl+C and Ctrl+Break are only noted. Closing
// the console, logging off and shutting down end the process as soon as the
// handler returns, so the handler waits until the interrupts are let go (the
// system waits some seconds for it) and then leaves the event to the default
// handler, which ends the process.
BOOL WINAPI HoldEvent(DWORD event) {
  DWORD none = 0;
  heldEvent.compare_exchange_strong(none, event + 1);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  if (closeMayGoOn) WaitForSingleObject(closeMayGoOn, INFINITE);
  return FALSE;
}
}  // namespace
HeldInterrupts::HeldInterrupts() : saved_() {
  heldEvent = 0;
  if (!closeMayGoOn) closeMayGoOn = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (closeMayGoOn) ResetEvent(closeMayGoOn);
  SetConsoleCtrlHandler(HoldEvent, TRUE);
}
HeldInterrupts::~HeldInterrupts() {
  SetConsoleCtrlHandler(HoldEvent, FALSE);
  if (closeMayGoOn) SetEvent(closeMayGoOn);
  // A Ctrl+C or Ctrl+Break held meanwhile ends the process now, as it would have.
  const DWORD event = heldEvent.exchange(0);
  if (event == CTRL_C_EVENT + 1 || event == CTRL_BREAK_EVENT + 1) {
    std::fflush(nullptr);
    ExitProcess(STATUS_CONTROL_C_EXIT);
  }
}
bool HeldInterrupts::Pending() const { return heldEvent != 0; }
#else
namespace {
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
}
static_assert(sizeof(sigset_t) <= 256, "the saved signal mask must fit");
HeldInterrupts::HeldInterrupts() : saved_() {
  sigset_t held;
  sigemptyset(&held);
  for (int signal : kInterrupts) sigaddset(&held, signal);
  sigprocmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(saved_));
}
HeldInterrupts::~HeldInterrupts() { sigprocmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(saved_), nullptr); }
bool HeldInterrupts::Pending() const {
  sigset_t pending;
  sigpending(&pending);
  for (int signal : kInterrupts) {
    if (sigismember(&pending, signal)) return true;
  }
  return false;
}
#endif

}  // namespace check
