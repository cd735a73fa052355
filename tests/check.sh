# Sourced by the shell tests: a scratch folder, counted checks, rows of a table of runs, the closing tally.
work=$(mktemp -d "${TMPDIR:-/tmp}/zarvik-test.XXXXXX")
passed=0 failed=0 cleanup_hooks=()
trap 'for hook in "${cleanup_hooks[@]}"; do $hook; done; rm -rf "$work"' EXIT

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then passed=$((passed + 1)); else
    failed=$((failed + 1)); printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}
run() { out=$("$zarvik" "$@" 2>"$work/err"); rc=$?; err=$(cat "$work/err"); }  # run ARGS...: sets out, err, rc
# files: every entry below $scope (a table's folder, apart from $work), with its checksum.
files() { (cd "$scope" && find . -printf '%P %y\n' && find . -type f -exec cksum {} +) | LC_ALL=C sort; }
# row CODE STDERR STDOUT-LINE ARGS...: one row of a table of runs. zarvik ARGS exits CODE and writes STDERR exactly
# and, unless it is empty, STDOUT-LINE as a whole line. CODE with "=" after it: the run changes nothing in $scope.
row() {
  local code=$1 message=$2 line=$3 before && shift 3
  [ "${code%=}" = "$code" ] || before=$(files)
  run "$@"
  check "$* ($rc)" "${code%=}|$message|" "$rc|$err|$([ -z "$line" ] || grep -Fxq -- "$line" <<<"$out" || echo "no line: $line")"
  [ "${code%=}" = "$code" ] || check "$*: nothing changed" "$before" "$(files)"
}

finish() { echo "$1: $passed passed, $failed failed" && [ "$failed" -eq 0 ]; }  # finish NAME: the closing line and status
