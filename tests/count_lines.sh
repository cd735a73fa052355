#!/usr/bin/env bash
# Prints the lines of the tests (tests/ and fuzz/) against those of the code
# (engine/, cli/, app/), counting .cc .h .sh .py and .txt files, and the share.
set -euo pipefail
cd "$(dirname "$0")/.."
lines() { find "$@" -type f \( -name '*.cc' -o -name '*.h' -o -name '*.sh' -o -name '*.py' -o -name '*.txt' \) -exec cat {} + | wc -l; }
tests=$(lines tests fuzz) code=$(lines engine cli app)
echo "tests: $tests lines, code: $code lines, share: $((100 * tests / code))% of the code"
