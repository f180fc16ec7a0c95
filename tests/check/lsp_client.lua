-- A headless Neovim as the language server's client: opens the Style.rgs it was started on, writes the
-- diagnostics it is sent, applies the quick fix as an unsaved edit, writes them again, opens a script
-- outside any package, then stops the server. Each step's lines go to $STUB_LSP_OUT:
--   "opened", "fixed" or "alone", then one "CODE LINE COLUMN" line per diagnostic (1-based), sorted;
--   "exit CODE" when the server has ended.
local out = assert(io.open(os.getenv("STUB_LSP_OUT"), "w"))
local function say(line) out:write(line, "\n") out:flush() end
local exited
local client = vim.lsp.start_client({
  name = "stub-check",
  cmd = { os.getenv("STUB_CHECKER"), "lsp" },
  root_dir = vim.fn.getcwd(),
  on_exit = function(code) exited = code end,
})
vim.lsp.buf_attach_client(0, client)

-- Waits until `ready` holds for the buffer's diagnostics, then writes them under `title`.
local function dump(title, ready)
  if not vim.wait(20000, function() return ready(vim.diagnostic.get(0)) end, 10) then
    say(title .. ": no diagnostics in time") return
  end
  local lines = {}
  for _, d in ipairs(vim.diagnostic.get(0)) do
    local code = d.code or (d.user_data and d.user_data.lsp and d.user_data.lsp.code)
    table.insert(lines, string.format("%s %d %d", code, d.lnum + 1, d.col + 1))
  end
  table.sort(lines)
  say(title)
  for _, line in ipairs(lines) do say(line) end
end

local function has(code)
  return function(list)
    for _, d in ipairs(list) do
      if (d.code or d.user_data.lsp.code) == code then return true end
    end
    return false
  end
end

dump("opened", has("unquoted-module"))
-- The quick fix the server offers on the diagnostic's line, applied without saving.
local line = vim.diagnostic.get(0)[1].lnum
local actions = vim.lsp.buf_request_sync(0, "textDocument/codeAction", {
  textDocument = { uri = vim.uri_from_bufnr(0) },
  range = { start = { line = 0, character = 0 }, ["end"] = { line = vim.api.nvim_buf_line_count(0) - 1, character = 0 } },
  context = { diagnostics = {} },
}, 10000)
local fixed = false
for _, answer in pairs(actions or {}) do
  for _, action in ipairs(answer.result or {}) do
    if action.edit and not fixed then
      vim.lsp.util.apply_workspace_edit(action.edit, "utf-16")
      fixed = true
    end
  end
end
say(fixed and "quick-fix-applied" or "no-quick-fix")
dump("fixed", function(list) return not has("unquoted-module")(list) end)
say("buffer line: " .. vim.api.nvim_buf_get_lines(0, line, line + 1, false)[1])

vim.cmd("edit " .. vim.fn.fnameescape(os.getenv("STUB_LSP_ALONE")))
vim.lsp.buf_attach_client(0, client)
dump("alone", function(list) return #list > 0 end)

vim.lsp.stop_client(client)
vim.wait(10000, function() return exited ~= nil end, 10)
say("exit " .. tostring(exited))
out:close()
vim.cmd("qa!")
