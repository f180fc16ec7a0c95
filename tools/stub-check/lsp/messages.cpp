// Content-Length framing, read byte by byte from a stream that may end or lie at any point.
#include "lsp/messages.h"

#include <cctype>
#include <string>

namespace check::lsp {
namespace {

enum class Line { kRead, kEnd, kLong };

// One header line less its "\r\n" (or "\n"), counted against what is left of the header's budget.
Line ReadLine(std::FILE* in, std::string* line, std::size_t* budget) {
  line->clear();
  for (int c; (c = std::getc(in)) != EOF;) {
    if (c == '\n') {
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return Line::kRead;
    }
    if (*budget == 0) return Line::kLong;
    --*budget;
    line->push_back(static_cast<char>(c));
  }
  return Line::kEnd;
}

// The value of a Content-Length header: decimal digits alone, at most kMessageLimit * 10; -1 otherwise.
long long LengthOf(const std::string& value) {
  std::size_t i = value.find_first_not_of(" \t"), end = value.find_last_not_of(" \t");
  if (i == std::string::npos) return -1;
  long long length = 0;
  for (; i <= end; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(value[i]))) return -1;
    length = length * 10 + (value[i] - '0');
    if (length > static_cast<long long>(kMessageLimit) * 10) return -1;
  }
  return length;
}

bool IsContentLength(const std::string& name) {
  static const std::string kName = "content-length";
  if (name.size() != kName.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(name[i])) != kName[i]) return false;
  }
  return true;
}

// Reads the header to its blank line: the body's length, or -1 with `problem` said.
Frame ReadHeader(std::FILE* in, long long* length, std::string* problem) {
  std::size_t budget = kHeaderLimit;
  std::string line;
  bool any = false;
  *length = -1;
  for (;;) {
    const Line read = ReadLine(in, &line, &budget);
    if (read == Line::kEnd) return Frame::kEnd;
    if (read == Line::kLong) {
      if (problem->empty())
        problem->assign("a header longer than " + std::to_string(kHeaderLimit) + " bytes");
      budget = kHeaderLimit;  // read on to the blank line that ends it
      continue;
    }
    if (line.empty() && !any) continue;  // blank lines between messages
    if (line.empty()) break;
    any = true;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
      if (problem->empty()) problem->assign("a header line without ':'");
      continue;
    }
    if (!IsContentLength(line.substr(0, colon))) continue;  // Content-Type and the like
    const long long value = LengthOf(line.substr(colon + 1));
    if (value < 0 || (*length >= 0 && value != *length)) {
      if (problem->empty()) problem->assign("a Content-Length that is no size in bytes, or given twice");
      continue;
    }
    *length = value;
  }
  if (problem->empty() && *length < 0) problem->assign("a header without Content-Length");
  return problem->empty() ? Frame::kMessage : Frame::kBad;
}

}  // namespace

ReadFrame ReadMessage(std::FILE* in) {
  ReadFrame frame;
  long long length = -1;
  frame.kind = ReadHeader(in, &length, &frame.problem);
  if (frame.kind != Frame::kMessage) return frame;
  const bool over = length > static_cast<long long>(kMessageLimit);
  char chunk[4096];
  for (long long left = length; left > 0;) {
    const std::size_t want =
        left < static_cast<long long>(sizeof chunk) ? static_cast<std::size_t>(left) : sizeof chunk;
    const std::size_t got = std::fread(chunk, 1, want, in);
    if (got == 0) return {Frame::kEnd, "", "the stream ended inside a body"};
    if (!over) frame.body.append(chunk, got);
    left -= static_cast<long long>(got);
  }
  if (over) {
    return {
        Frame::kBad, "",
        "a body of " + std::to_string(length) + " bytes, over the limit of " + std::to_string(kMessageLimit)};
  }
  return frame;
}

bool WriteMessage(std::FILE* out, const Json& message) {
  // Text that is no UTF-8 (a path's bytes) is written with replacement characters, never refused.
  const std::string body = message.dump(-1, ' ', false, Json::error_handler_t::replace);
  const std::string header = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  return std::fwrite(header.data(), 1, header.size(), out) == header.size() &&
         std::fwrite(body.data(), 1, body.size(), out) == body.size() && std::fflush(out) == 0;
}

Json ErrorResponse(const Json& id, ErrorCode code, const std::string& message) {
  return {
      {"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", static_cast<int>(code)}, {"message", message}}}};
}

}  // namespace check::lsp
