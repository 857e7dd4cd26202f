#!/usr/bin/env bash
# Installs the JavaScript clients of the acceptance suite from the committed
# lock file, unless node_modules was installed from this very lock already.
set -euo pipefail
cd "$(dirname "$0")/../../tests/acceptance"

# playwright-core has no browser of its own; the suite drives Debian's chromium.
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
stamp=node_modules/.installed-from-lock
if [ -f "$stamp" ] && cmp -s "$stamp" package-lock.json; then
  exit 0
fi
echo "Installing the acceptance suite's npm packages (npm ci)"
npm ci --no-audit --no-fund --ignore-scripts --loglevel=error
cp package-lock.json "$stamp"
