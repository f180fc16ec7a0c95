// libFuzzer target: the language server's message reader, which takes whatever bytes the editor's end of
// the pipe sends (a client with a bug, a truncated stream, a lying Content-Length).
//
// Input: the bytes of standard input, read message by message until the stream ends.
//
// Checked besides crashes, leaks and sanitizer reports:
//   - no body read is larger than the limit, and a bad frame says why;
//   - every body that is JSON, written as a message and read back, is the same JSON.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lsp/messages.h"

namespace {

void Expect(bool condition) {
  if (!condition) std::abort();
}

// `message` framed as the server writes it, read back as the server reads it.
void RoundTrip(const check::lsp::Json& message) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  if (!out) return;
  Expect(check::lsp::WriteMessage(out, message));
  std::fclose(out);
  std::FILE* in = fmemopen(buffer, size, "r");
  if (in) {
    const check::lsp::ReadFrame frame = check::lsp::ReadMessage(in);
    Expect(frame.kind == check::lsp::Frame::kMessage);
    Expect(check::lsp::Json::parse(frame.body, nullptr, false) == message);
    std::fclose(in);
  }
  std::free(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::FILE* in = fmemopen(bytes.data(), bytes.size(), "r");
  if (!in) return 0;
  for (int frames = 0; frames < 64; ++frames) {
    const check::lsp::ReadFrame frame = check::lsp::ReadMessage(in);
    if (frame.kind == check::lsp::Frame::kEnd) break;
    Expect(frame.body.size() <= check::lsp::kMessageLimit);
    Expect((frame.kind == check::lsp::Frame::kBad) == !frame.problem.empty());
    if (frame.kind != check::lsp::Frame::kMessage) continue;
    const check::lsp::Json message = check::lsp::Json::parse(frame.body, nullptr, false);
    // NaN is no JSON, and is not equal to itself: parse never makes one.
    if (!message.is_discarded()) RoundTrip(message);
  }
  std::fclose(in);
  return 0;
}
