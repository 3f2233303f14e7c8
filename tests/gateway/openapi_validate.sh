#!/usr/bin/env bash
# Validates the gateway's OpenAPI document with @apidevtools/swagger-parser
# (OpenAPI 3.1 and its JSON schemas), installed with the machine's npm
# configuration into NPM_DIR (under the build tree) on first use.
#   openapi_validate.sh OPENAPI.json NPM_DIR
set -euo pipefail
doc=$1 dir=$2
if ! command -v npm >/dev/null || ! command -v node >/dev/null; then
  echo "openapi_validate: npm and node are needed (Debian: npm)" >&2
  exit 77
fi
if [ ! -d "$dir/node_modules/@apidevtools/swagger-parser" ]; then
  mkdir -p "$dir"
  npm install --no-audit --no-fund --silent --prefix "$dir" @apidevtools/swagger-parser@10 >&2
fi
NODE_PATH="$dir/node_modules" node -e '
const SwaggerParser = require("@apidevtools/swagger-parser");
SwaggerParser.validate(process.argv[1])
  .then(api => console.log("valid OpenAPI " + api.openapi + ": " + Object.keys(api.paths).length + " paths"))
  .catch(error => { console.error(error.message); process.exit(1); });
' "$doc"
