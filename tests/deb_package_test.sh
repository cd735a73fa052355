#!/usr/bin/env bash
# deb_package_test.sh BUILD: the Debian package cpack makes from the install.
# lintian finds no error in it; dpkg installs it into a fresh root and removes
# it without a trace; unpacked, the tool runs, the desktop entry
# and the MIME type are valid, the "Extract here" script consumes or keeps an
# archive, and bash completes commands and offers archives and folders alone.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null
deb=$(echo "$work"/out/zarvik_*.deb)
lintian --fail-on error "$deb" >&2 || fail "lintian found errors"
dpkg-deb -f "$deb" Depends | grep -q 'libzstd' || fail "Depends lacks the shared libraries: $(dpkg-deb -f "$deb" Depends)"

# Installed by dpkg into a root of its own, which holds nothing else (so its
# dependencies are taken as met), and removed without a trace.
fresh=$work/fresh
mkdir -p "$fresh/var/lib/dpkg/info" "$fresh/var/lib/dpkg/updates"
touch "$fresh/var/lib/dpkg/status" "$fresh/var/lib/dpkg/available"
in_fresh() { dpkg --root="$fresh" --force-script-chrootless "$@" >/dev/null 2>&1; }
in_fresh --force-depends -i "$deb" || fail "dpkg -i failed"
dpkg --root="$fresh" -s zarvik | grep -qx 'Status: install ok installed' || fail "dpkg does not hold it installed"
test -x "$fresh/usr/bin/zarvik" || fail "dpkg -i installed no zarvik"
in_fresh -r zarvik || fail "dpkg -r failed"
left=$(cd "$fresh" && find . -path ./var/lib/dpkg -prune -o ! -type d -print)
[ -z "$left" ] || fail "dpkg -r left $left"

root=$work/root share=$work/root/usr/share
dpkg-deb -x "$deb" "$root"
"$root/usr/bin/zarvik" --version >/dev/null
gzip -t "$share/man/man1/zarvik.1.gz" "$share/doc/zarvik/changelog.gz"
test -s "$share/doc/zarvik/copyright"
desktop-file-validate "$share/applications/zarvik-extract-here.desktop"
xmllint --noout "$share/mime/packages/zarvik.xml"
update-mime-database "$share/mime" >/dev/null 2>&1
grep -qx '50:application/x-zarvik-archive:\*\.zvka' "$share/mime/globs2" || fail "no glob for .zvka"
grep -qa 'ZVKAWIN' "$share/mime/magic" || fail "no magic for .zvka"

# Extract here: beside the archive, into a folder named after it, a second
# time into "NAME (2)"; consumed unless --keep; the result logged.
mkdir -p "$work/files/sub" "$work/home"
echo data >"$work/files/sub/a.txt"
(cd "$work/files" && tar czf "my tree.tar.gz" sub && "$root/usr/bin/zarvik" create -q sub v.zvka >/dev/null)
extract_here() { PATH=$root/usr/bin:/usr/bin:/bin HOME=$work/home "$root/usr/bin/zarvik-extract-here" "$@"; }
extract_here "$work/files/my tree.tar.gz"
extract_here --keep "$work/files/v.zvka"
extract_here --keep "$work/files/v.zvka"
test ! -e "$work/files/my tree.tar.gz" || fail "the consumed archive is still there"
for tree in "my tree/sub" "v" "v (2)"; do
  cmp -s "$work/files/sub/a.txt" "$work/files/$tree/a.txt" || fail "nothing extracted into $tree"
done
[ "$(grep -c '^.* Extracted ' "$work/home/.local/state/zarvik/extract-here.log")" = 3 ] || fail "the log lacks a result"

# What bash offers for the last word in $work/files (also holding c.txt,
# s.z01, w.zip.001), sorted on one line.
touch "$work/files/"{c.txt,s.z01,w.zip.001}
offered() {
  (cd "$work/files" && bash -c 'source /usr/share/bash-completion/bash_completion && source "$0"
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE}
    _zarvik zarvik "${@: -1}" "${@: -2:1}"; printf "%s\n" "${COMPREPLY[@]}" | sort | xargs' \
    "$share/bash-completion/completions/zarvik" zarvik "$@")
}
while IFS='|' read -r words expected; do
  read -ra args <<<"$words"
  [ "${words: -1}" = ' ' ] && args+=('')
  got=$(offered "${args[@]}")
  [ "$got" = "$expected" ] || fail "zarvik $words: offered '$got', not '$expected'"
done <<'CASES'
ex|extract
extract |my tree s.z01 sub v v (2) v.zvka w.zip.001
extract --b|--batch
info --batch |16M 1M 256M 64M
CASES
