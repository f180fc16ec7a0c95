// The verbs' command lines from their option tables, and interrupts held.
#include "options/command_line.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

#include "io/files.h"

namespace check {

namespace {

// The usage line's width, at which it wraps.
constexpr std::size_t kUsageWidth = 92;

// The name the verb's messages go under: check, the verb when none is given, is plain "stub-check".
std::string Who(const VerbSpec& table) {
  return std::strcmp(table.verb, "check") ? std::string("stub-check ") + table.verb : "stub-check";
}

const OptionSpec* FindOption(const VerbSpec& table, const std::string& name) {
  auto it = std::find_if(table.options.begin(), table.options.end(), [&](auto& o) { return name == o.name; });
  return it == table.options.end() ? nullptr : &*it;
}

// Reads the option at args[*i], and its value (which may be the next argument), into `line`.
std::string ReadOption(const VerbSpec& table, const std::vector<std::string>& args, std::size_t* i,
                       ParsedLine* line) {
  const std::string more = std::string(" (stub-check ") + table.verb + " --help lists the options)";
  const std::string& arg = args[*i];
  const std::size_t equals = arg.find('=');
  const std::string name = arg.substr(0, equals);
  const OptionSpec* option = FindOption(table, name);
  if (!option) return "unknown option " + Quoted(name) + more;
  const bool joined = equals != std::string::npos;
  if (!option->value && joined) return name + " takes no value" + more;
  if (option->value && !joined && *i + 1 == args.size()) {
    return name + " needs a value: " + name + " " + option->value + more;
  }
  const std::string value = joined ? arg.substr(equals + 1) : option->value ? args[++*i] : "";
  if (option->value && value.empty()) {
    return name + " is given an empty value: give " + name + " " + option->value + ", or leave " + name +
           " out for its default";
  }
  // A value named "a|b|c" is one of those choices.
  const std::string choices = option->value ? option->value : "";
  const std::size_t last = choices.rfind('|');
  if (last != std::string::npos && (value.find('|') != std::string::npos ||
                                    ("|" + choices + "|").find("|" + value + "|") == std::string::npos)) {
    std::string list;
    for (std::size_t k = 0; k < choices.size(); ++k) {
      list += choices[k] != '|' ? std::string(1, choices[k]) : k == last ? " or " : ", ";
    }
    return name + " must be " + list + ", not " + Quoted(value);
  }
  std::vector<std::string>& values = line->values[name];
  if (!values.empty() && !option->repeatable) return name + " is given more than once";
  values.push_back(value);
  return "";
}

std::string Usage(const VerbSpec& table) {
  // The usage line, wrapped under its first word.
  std::string out = std::string("usage: stub-check ") + table.verb;
  const std::string indent(out.size() + 1, ' ');
  const std::size_t start = out.size();
  auto word = [&](const std::string& w) {
    const std::size_t length = out.size() - (out.rfind('\n') + 1);  // of the line so far (npos + 1 is 0)
    out += (out.size() > start && length + 1 + w.size() > kUsageWidth ? "\n" + indent : " ") + w;
  };
  if (table.operandFirst) word(table.operand);
  for (const OptionSpec& o : table.options) {
    const std::string value = o.value ? std::string(" ") + o.value : "";
    word(std::string("[") + o.name + value + "]" + (o.repeatable ? "..." : ""));
  }
  if (!table.operandFirst && *table.operand) word(table.operand);
  out += std::string("\n") + table.about;
  std::size_t width = 6;  // "--help"
  for (const OptionSpec& o : table.options) width = std::max(width, std::strlen(o.name));
  // Each line of `help`, the first after the option's name, the others under it.
  auto row = [&](const std::string& name, const std::string& help) {
    std::string head = "  " + name;
    for (std::size_t start = 0, end; start <= help.size(); start = end + 1, head.clear()) {
      end = std::min(help.find('\n', start), help.size());
      head.resize(width + 4, ' ');
      out += head + help.substr(start, end - start) + "\n";
    }
  };
  for (const OptionSpec& o : table.options) row(o.name, o.help);
  row("--help", "this text");
  if (*table.operand) row("--", std::string("ends the options: what follows is the ") + table.operand);
  return out + table.after;
}

}  // namespace

int ReadCommandLine(const VerbSpec& table, const std::vector<std::string>& args, ParsedLine* line,
                    std::string* refusal) {
  bool optionsEnded = false, help = false;
  std::string why;
  // Past the first problem the rest is still read, so that `line` holds what it can (the format a
  // refusal is to be given in); the first problem is the one said.
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string problem;
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && (arg == "--help" || arg == "-h")) {
      help = true;
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      problem = ReadOption(table, args, &i, line);
    } else if (line->operands.empty()) {
      line->operands.push_back(arg);
    } else {
      problem = "unexpected argument " + Quoted(arg) + ": " + table.verb + " takes one " + table.operand +
                ", and " + Quoted(line->operands[0]) + " is given already (stub-check " + table.verb +
                " --help lists the options)";
    }
    if (why.empty()) why = problem;
  }
  if (!why.empty() && refusal) *refusal = why;
  if (!why.empty()) return refusal ? 2 : Refuse(table, why);
  return !help ? -1 : PrintChecked(Who(table), Usage(table)) ? 0 : 2;
}

int Refuse(const VerbSpec& table, const std::string& message) {
  // One line, whatever names it holds: a line break in a name never starts a line of its own.
  io::PrintError(Who(table) + ": " + Escaped(message) + "\n");
  return 2;
}

std::string FindVerb(const std::vector<std::string>& argv, const std::vector<const VerbSpec*>& verbs,
                     std::vector<std::string>* rest) {
  *rest = argv;
  for (std::size_t i = 0; i < argv.size() && argv[i] != "--"; ++i) {
    const std::string& arg = argv[i];
    if (arg.size() > 1 && arg[0] == '-') {
      // An option before the verb: its value is skipped, as any verb that knows it reads it.
      const bool hasValue = std::any_of(verbs.begin(), verbs.end(), [&](const VerbSpec* table) {
        const OptionSpec* option = FindOption(*table, arg);
        return option && option->value;
      });
      i += hasValue && arg.find('=') == std::string::npos;
      continue;
    }
    // The first operand is the verb, or else the package.
    if (std::none_of(verbs.begin(), verbs.end(), [&](const VerbSpec* v) { return arg == v->verb; })) break;
    rest->erase(rest->begin() + static_cast<long>(i));
    return arg;
  }
  return "check";
}

#ifdef _WIN32
namespace {
// The console event held (one more than its number; 0 for none), and the
// signal that lets a held closing go on.
std::atomic<DWORD> heldEvent{0};
HANDLE closeMayGoOn = nullptr;

// Runs on a thread of its own. Ctrl+C and Ctrl+Break are only noted. Closing the console, logging off and
// shutting down end the process once the handler returns, so it waits until the interrupts are let go (the
// system waits some seconds), then leaves the event to the default handler.
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
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
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
  return std::any_of(std::begin(kInterrupts), std::end(kInterrupts),
                     [&](int signal) { return sigismember(&pending, signal) == 1; });
}
#endif

}  // namespace check
