// Starts the package checker's language server, `stub-check lsp` over stdio,
// for registry scripts. Highlighting comes from the grammar alone and works
// without it.
const vscode = require('vscode');
const { LanguageClient } = require('vscode-languageclient/node');

let client;

// The checker named by the stubCheck.path setting, else stub-check from PATH.
function checkerPath() {
  const configured = vscode.workspace.getConfiguration('stubCheck').get('path', '');
  return configured.trim() || 'stub-check';
}

async function start() {
  const command = checkerPath();
  // No transport is named: the client would add a --stdio argument for one.
  const server = { command, args: ['lsp'] };
  client = new LanguageClient('stubCheck', 'stub-check', { run: server, debug: server }, {
    documentSelector: [{ language: 'rgs' }],
  });
  try {
    await client.start();
  } catch (error) {
    client = undefined;
    vscode.window.showWarningMessage(
      `The package checker's language server did not start (${command} lsp: ${error.message}). ` +
        'Set stubCheck.path to the stub-check program.');
  }
}

async function stop() {
  const running = client;
  client = undefined;
  if (running) await running.stop();
}

function activate(context) {
  context.subscriptions.push(
    vscode.workspace.onDidChangeConfiguration(async (event) => {
      if (!event.affectsConfiguration('stubCheck.path')) return;
      await stop();
      await start();
    }),
    { dispose: stop });
  return start();
}

function deactivate() {
  return stop();
}

module.exports = { activate, deactivate };
