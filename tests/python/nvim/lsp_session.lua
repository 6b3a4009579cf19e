-- A headless Neovim session against `brightloom-index lsp`, through Neovim's own client.
-- SAMPLE_ROOT names the sample repository, LSP_SERVER_COMMAND (JSON) the server,
-- RESULT_FILE where the findings go as one JSON object; the test judges them.
local root = os.getenv("SAMPLE_ROOT")
local out = {}

local function wait_for(what, predicate)
  if not vim.wait(10000, predicate, 20) then
    error("timed out waiting for " .. what)
  end
end

local function open(relative)
  vim.cmd("edit " .. vim.fn.fnameescape(root .. "/" .. relative))
  return vim.api.nvim_get_current_buf()
end

local function session()
  local client_id = vim.lsp.start_client({
    name = "brightloom-index",
    cmd = vim.fn.json_decode(os.getenv("LSP_SERVER_COMMAND")),
    root_dir = root,
  })
  local main = open("app/main.py")
  vim.lsp.buf_attach_client(main, client_id)
  local client = vim.lsp.get_client_by_id(client_id)
  wait_for("initialize", function() return client.initialized end)

  -- Go to the definition of make_circle, which lives in another file.
  vim.api.nvim_win_set_cursor(0, { 3, 10 })
  vim.lsp.buf.definition()
  wait_for("the jump", function() return vim.api.nvim_buf_get_name(0):match("shapes%.py$") ~= nil end)
  out.definition = { file = vim.api.nvim_buf_get_name(0), cursor = vim.api.nvim_win_get_cursor(0) }

  -- Every reference of Circle, listed in the quickfix list.
  vim.cmd("buffer " .. main)
  vim.api.nvim_win_set_cursor(0, { 1, 40 })
  vim.fn.setqflist({})
  vim.lsp.buf.references({ includeDeclaration = true })
  wait_for("references", function() return #vim.fn.getqflist() > 0 end)
  out.references = {}
  for _, item in ipairs(vim.fn.getqflist()) do
    table.insert(out.references, { file = vim.api.nvim_buf_get_name(item.bufnr), line = item.lnum, col = item.col })
  end

  local symbols = vim.lsp.buf_request_sync(main, "workspace/symbol", { query = "circ" }, 10000)
  out.workspace_symbols = {}
  for _, answer in pairs(symbols or {}) do
    for _, symbol in ipairs(answer.result or {}) do
      table.insert(out.workspace_symbols, symbol.name)
    end
  end

  -- The syntax errors of a buffer with a fault, published on open.
  local broken = open("app/broken.py")
  vim.lsp.buf_attach_client(broken, client_id)
  wait_for("diagnostics", function() return #vim.diagnostic.get(broken) > 0 end)
  out.diagnostics = {}
  for _, item in ipairs(vim.diagnostic.get(broken)) do
    table.insert(out.diagnostics, { line = item.lnum, col = item.col, message = item.message })
  end

  vim.lsp.stop_client(client_id)
  wait_for("the server to stop", function() return client.is_stopped() end)
end

local ok, failure = pcall(session)
if not ok then
  out.failure = tostring(failure)
end
vim.fn.writefile({ vim.fn.json_encode(out) }, os.getenv("RESULT_FILE"))
vim.cmd("qall!")
