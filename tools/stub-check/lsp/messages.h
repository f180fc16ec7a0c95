// The language server's messages on a byte stream: JSON-RPC 2.0 bodies, each after a header whose
// Content-Length gives its size in bytes, as editors send them over standard input and output.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

namespace check::lsp {

using Json = nlohmann::json;

/// The largest body taken: a script at the checker's limit (8 MiB) escaped as JSON, with room to spare.
constexpr std::size_t kMessageLimit = 64u << 20;
/// The largest header taken, all its lines together.
constexpr std::size_t kHeaderLimit = 8u << 10;

enum class Frame {
  kMessage,  // `body` holds one whole body
  kEnd,      // the stream ended (between messages or inside one): the peer is gone
  kBad,      // a header that cannot be followed, or a body over the limit; `problem` says which
};

struct ReadFrame {
  Frame kind = Frame::kEnd;
  std::string body;
  std::string problem;
};

/// The next message of `in`. A bad header is read to its blank line and a body over the limit is skipped,
/// so that the message after it is read from its start.
ReadFrame ReadMessage(std::FILE* in);

/// `message` written to `out` with its header and flushed; false when the write failed.
bool WriteMessage(std::FILE* out, const Json& message);

/// JSON-RPC's error codes, and the language protocol's own.
enum class ErrorCode {
  kParseError = -32700,
  kInvalidRequest = -32600,
  kMethodNotFound = -32601,
  kInvalidParams = -32602,
  kInternalError = -32603,
  kServerNotInitialized = -32002,
};

/// A response carrying an error; `id` is null when the request's own could not be read.
Json ErrorResponse(const Json& id, ErrorCode code, const std::string& message);

}  // namespace check::lsp
