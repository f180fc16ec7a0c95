// The language server: the lifecycle (initialize, shutdown, exit), the open documents, and a check of the
// package on every open and change, published as diagnostics.
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "lsp/diagnostics.h"
#include "lsp/lsp_command.h"
#include "lsp/messages.h"

namespace check {

const VerbSpec kLspSpec = {
    "lsp",
    "",
    "  a language server for package scripts on standard input and output (the editor starts it):\n"
    "  each open Style.rgs or StyleText.rgs is checked with its package as the editor holds it\n",
    {{"--stdio", nullptr, false, "talk over standard input and output (the default, and the only way)"}},
    "exit code: 0 after shutdown and exit, 1 when the input ended or exit came first\n"};

namespace lsp {
namespace {

class Server {
 public:
  explicit Server(std::FILE* out) : out_(out) {}
  /// Handles one message; false once the server is to stop.
  bool Handle(const ReadFrame& frame);
  int ExitCode() const { return shutDown_ ? 0 : 1; }

 private:
  void Send(const Json& message) { written_ = WriteMessage(out_, message) && written_; }
  void Answer(const Json& id, const Json& result) {
    Send({{"jsonrpc", "2.0"}, {"id", id}, {"result", result}});
  }
  void Request(const Json& id, const std::string& method, const Json& params);
  void Notification(const std::string& method, const Json& params);
  void Publish(const std::vector<std::string>& uris);
  Json CodeActions(const Json& params, std::string* invalid);

  std::FILE* out_;
  std::map<std::string, Document> documents_;
  bool initialized_ = false, shutDown_ = false, exit_ = false, written_ = true;
};

Json Capabilities() {
  return {{"capabilities",
           {{"textDocumentSync", {{"openClose", true}, {"change", 1}, {"save", true}}},
            {"hoverProvider", true},
            {"codeActionProvider", {{"codeActionKinds", {"quickfix"}}}}}},
          {"serverInfo", {{"name", "stub-check"}}}};
}

}  // namespace

bool Server::Handle(const ReadFrame& frame) {
  if (frame.kind == Frame::kBad) {
    Send(ErrorResponse(nullptr, ErrorCode::kParseError, "message not read: " + frame.problem));
    return written_;
  }
  const Json message = Json::parse(frame.body, nullptr, false);
  if (message.is_discarded()) {
    Send(ErrorResponse(nullptr, ErrorCode::kParseError, "the body is no JSON"));
    return written_;
  }
  const Json id = message.is_object() && message.contains("id") ? message["id"] : Json();
  const bool idValid = id.is_null() || id.is_string() || id.is_number_integer();
  if (!message.is_object() || message.value("jsonrpc", Json()) != "2.0" || !message.contains("method") ||
      !message["method"].is_string() || !idValid) {
    Send(ErrorResponse(idValid ? id : Json(), ErrorCode::kInvalidRequest,
                       "no JSON-RPC 2.0 request or notification"));
    return written_;
  }
  const std::string method = message["method"];
  const Json params = message.contains("params") ? message["params"] : Json::object();
  try {
    if (message.contains("id")) {
      Request(id, method, params);
    } else {
      Notification(method, params);
    }
  } catch (const Json::exception& e) {
    // A field of the wrong type deep in the parameters.
    if (message.contains("id")) Send(ErrorResponse(id, ErrorCode::kInvalidParams, e.what()));
  } catch (const std::exception& e) {
    // Anything else the check could not get past (a file system error): said, and the server goes on.
    const std::string what = method + " failed: " + e.what();
    if (message.contains("id")) Send(ErrorResponse(id, ErrorCode::kInternalError, what));
    if (!message.contains("id")) {
      Send({{"jsonrpc", "2.0"},
            {"method", "window/logMessage"},
            {"params", {{"type", 1}, {"message", what}}}});
    }
  }
  return written_ && !exit_;
}

void Server::Request(const Json& id, const std::string& method, const Json& params) {
  if (method == "initialize") {
    if (initialized_) return Send(ErrorResponse(id, ErrorCode::kInvalidRequest, "initialize came twice"));
    initialized_ = true;
    return Answer(id, Capabilities());
  }
  if (!initialized_)
    return Send(ErrorResponse(id, ErrorCode::kServerNotInitialized, "initialize comes first"));
  if (shutDown_) return Send(ErrorResponse(id, ErrorCode::kInvalidRequest, "the server is shut down"));
  if (method == "shutdown") {
    shutDown_ = true;
    return Answer(id, nullptr);
  }
  if (method == "textDocument/codeAction") {
    std::string invalid;
    const Json actions = CodeActions(params, &invalid);
    return invalid.empty() ? Answer(id, actions)
                           : Send(ErrorResponse(id, ErrorCode::kInvalidParams, invalid));
  }
  if (method == "textDocument/hover") {
    const auto open = documents_.find(params.at("textDocument").at("uri").get<std::string>());
    Json hover;
    if (open == documents_.end())
      return Send(ErrorResponse(id, ErrorCode::kInvalidParams, "the document is not open"));
    if (!Hover(open->second, params.at("position").at("line"), params.at("position").at("character"),
               &hover)) {
      return Send(ErrorResponse(id, ErrorCode::kInvalidParams, "the position is not in the document"));
    }
    return Answer(id, hover);
  }
  Send(ErrorResponse(id, ErrorCode::kMethodNotFound, "no method " + method));
}

void Server::Notification(const std::string& method, const Json& params) {
  if (method == "exit") {
    exit_ = true;
    return;
  }
  if (!initialized_ || shutDown_) return;  // notifications are dropped before initialize and after shutdown
  if (method == "textDocument/didOpen") {
    const Json& item = params.at("textDocument");
    const std::string uri = item.at("uri");
    Document document;
    document.path = PathOfUri(uri);
    document.text = item.at("text");
    documents_[uri] = std::move(document);
    return Publish(CheckPackageOf(uri, &documents_));
  }
  const std::string uri = params.contains("textDocument") ? params["textDocument"].value("uri", "") : "";
  const auto open = documents_.find(uri);
  if (open == documents_.end()) return;  // initialized, $/ notifications, and those of unknown documents
  if (method == "textDocument/didChange") {
    // Full sync: the last change holds the whole text.
    const Json& changes = params.at("contentChanges");
    if (!changes.is_array() || changes.empty()) return;
    open->second.text = changes.back().at("text");
    return Publish(CheckPackageOf(uri, &documents_));
  }
  if (method == "textDocument/didSave") return Publish(CheckPackageOf(uri, &documents_));
  if (method == "textDocument/didClose") {
    const std::string path = open->second.path;
    documents_.erase(open);
    Send({{"jsonrpc", "2.0"},
          {"method", "textDocument/publishDiagnostics"},
          {"params", {{"uri", uri}, {"diagnostics", Json::array()}}}});
    // The package's other open scripts are checked again, with this one's file from disk.
    const std::string folder = path.substr(0, path.find_last_of("/\\") + 1);
    for (const auto& [other, document] : documents_) {
      if (!path.empty() && document.path.compare(0, folder.size(), folder) == 0 &&
          document.path.find_first_of("/\\", folder.size()) == std::string::npos) {
        return Publish(CheckPackageOf(other, &documents_));
      }
    }
  }
}

void Server::Publish(const std::vector<std::string>& uris) {
  for (const std::string& uri : uris) {
    Send({{"jsonrpc", "2.0"},
          {"method", "textDocument/publishDiagnostics"},
          {"params", {{"uri", uri}, {"diagnostics", Diagnostics(documents_.at(uri))}}}});
  }
}

Json Server::CodeActions(const Json& params, std::string* invalid) {
  const std::string uri = params.at("textDocument").at("uri");
  const auto open = documents_.find(uri);
  if (open == documents_.end()) {
    *invalid = "the document " + uri + " is not open";
    return nullptr;
  }
  const int first = params.at("range").at("start").at("line"), last = params.at("range").at("end").at("line");
  int lines = 1;
  for (char c : open->second.text) lines += c == '\n';
  if (first < 0 || last < first || last >= lines) {
    *invalid = "the range's lines are not in the document (it has " + std::to_string(lines) + ")";
    return nullptr;
  }
  return QuickFixes(uri, open->second, first, last);
}

int Serve(std::FILE* in, std::FILE* out) {
  Server server(out);
  for (;;) {
    const ReadFrame frame = ReadMessage(in);
    if (frame.kind == Frame::kEnd || !server.Handle(frame)) break;
  }
  return server.ExitCode();
}

}  // namespace lsp

int LspCommand(const std::vector<std::string>& args) {
  ParsedLine line;
  const int exit = ReadCommandLine(kLspSpec, args, &line);
  if (exit >= 0) return exit;
  if (!line.operands.empty()) return Refuse(kLspSpec, "lsp takes no operand: the editor sends the documents");
#ifdef _WIN32
  // The framing counts bytes: no "\r\n" for "\n" either way.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  return lsp::Serve(stdin, stdout);
}

}  // namespace check
