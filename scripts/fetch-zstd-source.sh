#!/usr/bin/env bash
# fetch-zstd-source.sh FOLDER: leaves Debian's source package of Zstandard,
# unpacked with Debian's patches applied, in FOLDER/source, for builds that
# have no packaged libzstd (MinGW). The downloaded package stays in FOLDER, so
# it is fetched once.
#
# apt runs with a private configuration under FOLDER/apt: its deb-src entries
# are derived from the machine's own Debian sources, and its lists and caches
# stay there, so the machine's apt setup is left as it was.
set -euo pipefail
folder=$1
mkdir -p "$folder"
folder=$(cd "$folder" && pwd)
apt=$folder/apt
source=$folder/source

fail() {
  echo "fetch-zstd-source.sh: $*" >&2
  exit 1
}
find_dsc() { find "$folder" -maxdepth 1 -name 'libzstd_*.dsc' | sort | tail -n 1; }

write_private_sources() {
  rm -rf "$apt"
  mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/cache/archives/partial"
  : >"$apt/sources.list"
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    sed -E 's/^Types:.*/Types: deb-src/' "$file" >"$apt/sources.list.d/$(basename "$file")"
  done
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    sed -E -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$file" >"$apt/sources.list.d/$(basename "$file").list"
  done
  grep -q -s -E '^(Types: deb-src|deb-src )' "$apt"/sources.list.d/* ||
    fail "no Debian sources in /etc/apt (sources.list or sources.list.d) to derive deb-src entries from"
}

private_apt() {
  local tool=$1
  shift
  "$tool" -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/sources.list.d" \
    -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" "$@"
}

# Newest first; a revision whose files the archive no longer serves (a
# security update's pool can lag behind its index) gives way to the next.
fetch() {
  write_private_sources
  echo "Fetching Debian's source package libzstd into $folder..." >&2
  private_apt apt-get -qq update >/dev/null || fail "apt-get update of the private deb-src lists failed"
  local versions version attempt=$folder/attempt
  versions=$(private_apt apt-cache showsrc libzstd | sed -n 's/^Version: //p' | sort -r -V)
  [ -n "$versions" ] || fail "no source package libzstd in the machine's Debian sources"
  for version in $versions; do
    rm -rf "$attempt" && mkdir "$attempt"
    if (cd "$attempt" && private_apt apt-get -qq source --download-only "libzstd=$version" >/dev/null 2>&1); then
      mv "$attempt"/* "$folder"/
      rm -rf "$attempt"
      return 0
    fi
    echo "Source package libzstd $version could not be downloaded; trying an older revision" >&2
  done
  rm -rf "$attempt"
  fail "apt-get source --download-only libzstd failed for every revision: $(echo $versions)"
}

[ -f "$source/lib/zstd.h" ] && exit 0
command -v apt-get >/dev/null || fail "apt-get is missing: Zstandard comes from Debian's source package libzstd"
command -v dpkg-source >/dev/null || fail "dpkg-source is missing: install dpkg-dev (scripts/ensure-packages.sh)"
[ -n "$(find_dsc)" ] || fetch
rm -rf "$source"
dpkg-source -x "$(find_dsc)" "$source" >/dev/null 2>&1 || fail "dpkg-source could not unpack $(find_dsc)"
