// The verbs' command lines from their option tables, and checked file and
// output writing and bounded file reading for all of them.
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

bool WriteAll(std::FILE* file, const std::string& text, std::string* reason) {
  bool written = false;
  if (io::WriteToConsole(file, text, &written, reason)) return written;
  errno = 0;
  written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool flushed = std::fflush(file) == 0;
  if (written && flushed && !std::ferror(file)) return true;
  *reason = errno ? std::strerror(errno) : "the write failed";
  return false;
}

bool PrintChecked(const std::string& who, const std::string& text) {
  std::string reason;
  if (WriteAll(stdout, text, &reason)) return true;
  io::PrintError(who + ": cannot write to standard output: " + reason + "; what was printed is incomplete\n");
  return false;
}

bool WriteNewFile(const std::string& path, const std::string& bytes, std::string* reason) {
  // Made exclusively: never over a file that appeared meanwhile.
  std::FILE* file = io::CreateNewFile(path);
  if (!file) {
    *reason = errno ? std::strerror(errno) : "it cannot be made";
    return false;
  }
  bool ok = WriteAll(file, bytes, reason);
  errno = 0;
  if (std::fclose(file) != 0 && ok) {
    *reason = errno ? std::strerror(errno) : "closing it failed";
    ok = false;
  }
  if (!ok) {
    std::error_code error;
    fs::remove(io::PathOf(path), error);
  }
  return ok;
}

namespace {

std::string KindOf(fs::file_type type) {
  switch (type) {
    case fs::file_type::directory: return "a folder, not a file";
    case fs::file_type::fifo: return "a FIFO (named pipe), not a file";
    case fs::file_type::character: return "a character device, not a file";
    case fs::file_type::block: return "a block device, not a file";
    case fs::file_type::socket: return "a socket, not a file";
    default: return "not a regular file";
  }
}

}  // namespace

std::string SizeText(unsigned long long bytes) {
  char text[32];
  if (bytes >= (1ull << 20) && bytes % (1ull << 20) == 0) {
    std::snprintf(text, sizeof text, "%llu MiB", bytes >> 20);
  } else if (bytes >= 1000000) {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%llu bytes", bytes);
  }
  return text;
}

bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* bytes,
                     std::string* reason, bool* tooLarge) {
  if (tooLarge) *tooLarge = false;
  bytes->clear();
  std::error_code error;
  const fs::file_status status = fs::status(io::PathOf(path), error);
  if (error || status.type() == fs::file_type::not_found) {
    *reason = error ? error.message() : std::strerror(ENOENT);
    return false;
  }
  if (status.type() != fs::file_type::regular) {
    *reason = KindOf(status.type());
    return false;
  }
  // A FIFO put in its place meanwhile is neither waited on nor read.
  std::FILE* file = io::OpenRegularFile(path, reason);
  if (!file) return false;
  const auto size = fs::file_size(io::PathOf(path), error);
  if (!error && size > limit) {
    std::fclose(file);
    if (tooLarge) *tooLarge = true;
    *reason = "it is " + SizeText(size) + ", more than the " + SizeText(limit) + " stub-check reads";
    return false;
  }
  if (!error) bytes->reserve(static_cast<std::size_t>(size));
  char buffer[65536];
  std::size_t n;
  errno = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    if (bytes->size() + n > limit) {  // it grew while being read
      std::fclose(file);
      bytes->clear();
      if (tooLarge) *tooLarge = true;
      *reason = "it is more than the " + SizeText(limit) + " stub-check reads";
      return false;
    }
    bytes->append(buffer, n);
  }
  const bool ok = !std::ferror(file);
  if (!ok) *reason = errno ? std::strerror(errno) : "reading it failed";
  std::fclose(file);
  return ok;
}

bool CheckWindowsModulePath(const std::string& path, std::string* problem) {
  const bool drive = path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') &&
                     path[1] == ':' && path[2] == '\\';
  const bool share = path.size() >= 3 && path[0] == '\\' && path[1] == '\\' && path[2] != '\\';
  if (!drive && !share) {
    *problem = "it is not an absolute Windows path (C:\\...\\NAME.dll or \\\\server\\share\\...\\NAME.dll)";
    return false;
  }
  for (std::size_t i = 0; i < path.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (c < 0x20 || c == 0x7F) {
      *problem = "it holds a control character (" + Quoted(std::string(1, path[i])) +
                 "), which Windows refuses in a path";
      return false;
    }
    if (std::strchr("<>\"|?*/", c) || (c == ':' && !(drive && i == 1))) {
      *problem = std::string("it holds '") + path[i] + "', which Windows refuses in a file name" +
                 (c == '/' ? " (write backslashes)" : "");
      return false;
    }
  }
  if (ShowBytes(path) != path) {
    *problem = "it is not UTF-8 text";
    return false;
  }
  return true;
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : ShowBytes(text)) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (u < 0x20 || u == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out + "'";
}

// Text for an XML attribute, element or comment (export's WiX fragment, the
// assembly manifest). A tab, a line break and a carriage
// return are written as character references, so that no parser turns them
// into blanks; a character XML cannot hold at all (other control characters,
// U+FFFE, U+FFFF) or bytes that are not UTF-8 set `problem`.
std::string Xml(const std::string& text, std::string* problem) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t n = Utf8Sequence(text, i);
    const unsigned char u = static_cast<unsigned char>(c);
    if (n == 0 || (u < 0x20 && c != '\t' && c != '\n' && c != '\r') ||
        (n == 3 && text.compare(i, 2, "\xEF\xBF") == 0 && (text[i + 2] == '\xBE' || text[i + 2] == '\xBF'))) {
      if (problem->empty()) {
        *problem = Quoted(text) + " holds " +
                   (n == 0 ? std::string("bytes that are not UTF-8") : std::string("a character XML cannot hold"));
      }
      i += n ? n : 1;
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;
      default: out.append(text, i, n);
    }
    i += n;
  }
  return out;
}

}  // namespace check
