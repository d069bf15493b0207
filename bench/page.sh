#!/usr/bin/env bash
# The page's first load in headless Chromium on loopback, and its size.
# Usage: bench/page.sh [BUILD_DIR] (default build/); RUNS sets the number of
# fresh loads (default 30). Needs the browser packages that
# scripts/test.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
exec node bench/page.mjs "$build" "${RUNS:-30}"
