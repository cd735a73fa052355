#!/usr/bin/env bash
# ctest's emulator for the Windows build. Listing a program's tests is retried:
# under load Wine sometimes fails to start a program at all, exit 1 and no
# output, and one failed listing fails the whole run. Tests themselves are
# never retried.
case " $* " in
  *" --gtest_list_tests "*)
    for attempt in 1 2 3; do
      output=$(wine "$@") && { printf '%s\n' "$output"; exit 0; }
      status=$?
      [ -n "$output" ] && { printf '%s\n' "$output"; exit "$status"; }
      echo "wine-emulator.sh: listing failed with no output (attempt $attempt): $1" >&2
      sleep 2
    done
    exit "$status" ;;
esac
exec wine "$@"
