"""The language server over a raw pipe: each case sends its bytes to one `stub-check lsp` and checks what
comes back, then that the server still answers (or ended) as it should. Prints "ok: NAME" or
"FAILED: NAME: DETAIL" per case.

    lsp_protocol.py CHECKER PACKAGE_FOLDER
"""
import json
import subprocess
import sys

checker, folder = sys.argv[1], sys.argv[2]
LIMIT = 64 << 20


def frame(message):
    body = message if isinstance(message, bytes) else json.dumps(message).encode()
    return b"Content-Length: %d\r\n\r\n" % len(body) + body


def request(id_, method, params=None):
    return frame({"jsonrpc": "2.0", "id": id_, "method": method, "params": params or {}})


def note(method, params=None):
    return frame({"jsonrpc": "2.0", "method": method, "params": params or {}})


INIT = request(1, "initialize")
END = request(99, "shutdown") + note("exit")


def messages(out):
    found = []
    while out:
        head, _, rest = out.partition(b"\r\n\r\n")
        length = int(head.split(b":")[1])
        found.append(json.loads(rest[:length]))
        out = rest[length:]
    return found


def run(data):
    p = subprocess.run([checker, "lsp"], input=data, capture_output=True, timeout=120)
    return p.returncode, messages(p.stdout)


def error_of(found, id_):
    return next((m["error"]["code"] for m in found if m.get("id", "none") == id_ and "error" in m), None)


def answered(found, id_):
    return any(m.get("id") == id_ and "result" in m for m in found)


def opened(text, path=folder + "/Style.rgs"):
    return note("textDocument/didOpen", {"textDocument": {"uri": "file://" + path, "languageId": "rgs",
                                                          "version": 1, "text": text}})


script = open(folder + "/Style.rgs", encoding="utf-8").read()
# A line whose %Module% stands after a character outside the BMP (two UTF-16 units) and one of two bytes.
wide = script.replace("\t\t\tInprocServer32 = s %Module%", "\t\t\t'Inproc\U0001F600Server32\u00e9' = s %Module%")


def unquoted_range(found):
    for m in found:
        for d in m.get("params", {}).get("diagnostics", []):
            if d["code"] == "unquoted-module":
                return d["range"]
    return None


def code_action(id_, first, last):
    return request(id_, "textDocument/codeAction", {
        "textDocument": {"uri": "file://" + folder + "/Style.rgs"},
        "range": {"start": {"line": first, "character": 0}, "end": {"line": last, "character": 0}},
        "context": {"diagnostics": []}})


def hover(id_, line, character):
    return request(id_, "textDocument/hover", {"textDocument": {"uri": "file://" + folder + "/Style.rgs"},
                                               "position": {"line": line, "character": character}})


def hover_text(found, id_):
    result = next((m.get("result") for m in found if m.get("id") == id_), "none")
    return result["contents"]["value"] if isinstance(result, dict) else result


# name, bytes, what must hold of (exit code, messages)
cases = [
    ("body_not_json_then_next_answered", INIT + frame(b"{not json") + request(2, "shutdown") + note("exit"),
     lambda rc, f: error_of(f, None) == -32700 and answered(f, 2) and rc == 0),
    ("header_without_content_length", INIT + b"Content-Type: x\r\n\r\n" + END,
     lambda rc, f: error_of(f, None) == -32700 and answered(f, 99) and rc == 0),
    ("content_length_not_a_number", INIT + b"Content-Length: 12x\r\n\r\n" + END,
     lambda rc, f: error_of(f, None) == -32700 and answered(f, 99)),
    ("body_over_the_limit_skipped", INIT + b"Content-Length: %d\r\n\r\n" % (LIMIT + 1) + b" " * (LIMIT + 1) + END,
     lambda rc, f: error_of(f, None) == -32700 and answered(f, 99) and rc == 0),
    ("false_content_length_ends_at_eof", INIT + b"Content-Length: 500\r\n\r\n{\"jsonrpc\":\"2.0\"}",
     lambda rc, f: rc == 1 and answered(f, 1)),
    ("not_a_request", INIT + frame({"id": 5, "method": "x"}) + frame([1, 2]) + END,
     lambda rc, f: error_of(f, 5) == -32600 and error_of(f, None) == -32600 and answered(f, 99)),
    ("unknown_method_and_notification", INIT + request(3, "textDocument/rename") + note("$/unknown") + END,
     lambda rc, f: error_of(f, 3) == -32601 and answered(f, 99) and len(f) == 3),
    ("request_before_initialize", request(4, "shutdown") + INIT + END,
     lambda rc, f: error_of(f, 4) == -32002 and answered(f, 1) and rc == 0),
    ("exit_without_shutdown", INIT + note("exit"), lambda rc, f: rc == 1),
    ("eof_ends_the_server", INIT, lambda rc, f: rc == 1 and answered(f, 1)),
    ("invalid_positions_and_params", INIT + opened(script) + code_action(6, 40, 50) + code_action(7, 3, 1) +
     request(8, "textDocument/codeAction", {"textDocument": 5}) + note("textDocument/didOpen", {"x": 1}) + END,
     lambda rc, f: error_of(f, 6) == -32602 and error_of(f, 7) == -32602 and error_of(f, 8) == -32602 and
     answered(f, 99)),
    ("columns_in_utf16_units", INIT + opened(wide) + END,
     lambda rc, f: unquoted_range(f) == {"start": {"line": 11, "character": 27}, "end": {"line": 11, "character": 28}}),
    # %Module% tells the paths the check installs at; the class identifier its class and the other script.
    ("hover", INIT + opened(script) + hover(10, 11, 22) + hover(11, 4, 15) + hover(12, 0, 1) + hover(13, 40, 0) +
     hover(14, 11, 200) + END,
     lambda rc, f: "C:\\Packages\\Fern.dll" in hover_text(f, 10) and "O'Brien's" in hover_text(f, 10) and
     "`Stub`" in hover_text(f, 11) and "StyleText.rgs does not name it" in hover_text(f, 11) and
     hover_text(f, 12) is None and error_of(f, 13) == -32602 and error_of(f, 14) == -32602),
    # No folder, a file that is no script, a root folder, no file at all: one diagnostic each.
    ("no_package_script_one_diagnostic", INIT + opened(script, "/nonexistent/Style.rgs") +
     opened(script, folder + "/Notes.txt") + opened(script, "/Style.rgs") +
     note("textDocument/didOpen", {"textDocument": {"uri": "untitled:1", "languageId": "rgs", "version": 1,
                                                    "text": script}}) + END,
     lambda rc, f: [[d["code"] for d in m["params"]["diagnostics"]] for m in f if m.get("method")] ==
     [["not-in-package"]] * 4 and answered(f, 99)),
]

failed = 0
for name, data, holds in cases:
    try:
        rc, found = run(data)
        ok = holds(rc, found)
        detail = "exit %d, %s" % (rc, json.dumps(found)[:600])
    except Exception as e:  # a crash, a hang, output that is no framing
        ok, detail = False, repr(e)
    print(("ok: " if ok else "FAILED: ") + name + ("" if ok else ": " + detail))
    failed += not ok
sys.exit(1 if failed else 0)
