# Sourced by the shell tests: a scratch folder, checks that count, and the
# closing "N passed, N failed" line.
work=$(mktemp -d "${TMPDIR:-/tmp}/zarvik-test.XXXXXX")
passed=0 failed=0
cleanup_hooks=()
trap 'for hook in "${cleanup_hooks[@]}"; do $hook; done; rm -rf "$work"' EXIT

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then passed=$((passed + 1)); else
    failed=$((failed + 1)); printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}

run() {  # run ARGS...: runs zarvik, sets out, err, rc
  out=$("$zarvik" "$@" 2>"$work/err"); rc=$?; err=$(cat "$work/err")
}

finish() {  # finish NAME: the closing line, and the exit status
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
