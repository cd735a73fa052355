#!/usr/bin/env bash
# fetch-debian-source.sh PACKAGE FOLDER: leaves Debian's source package
# PACKAGE, unpacked with Debian's patches applied, in FOLDER/source, for
# builds that have no packaged library of it (MinGW). The downloaded package
# stays in FOLDER, so it is fetched once.
#
# apt runs with a private configuration under FOLDER/apt: its deb-src entries
# are derived from the machine's own Debian sources, and its lists and caches
# stay there, so the machine's apt setup is left as it was.
set -euo pipefail
package=$1
folder=$2
mkdir -p "$folder"
folder=$(cd "$folder" && pwd)
apt=$folder/apt
source=$folder/source

fail() {
  echo "fetch-debian-source.sh: $*" >&2
  exit 1
}
find_dsc() { find "$folder" -maxdepth 1 -name "${package}_*.dsc" | sort | tail -n 1; }

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
  echo "Fetching Debian's source package $package into $folder..." >&2
  private_apt apt-get -qq update >/dev/null || fail "apt-get update of the private deb-src lists failed"
  local versions version attempt=$folder/attempt
  versions=$(private_apt apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -r -V)
  [ -n "$versions" ] || fail "no source package $package in the machine's Debian sources"
  for version in $versions; do
    rm -rf "$attempt" && mkdir "$attempt"
    if (cd "$attempt" && private_apt apt-get -qq source --download-only "$package=$version" >/dev/null 2>&1); then
      mv "$attempt"/* "$folder"/
      rm -rf "$attempt"
      return 0
    fi
    echo "Source package $package $version could not be downloaded; trying an older revision" >&2
  done
  rm -rf "$attempt"
  fail "apt-get source --download-only $package failed for every revision: $(echo $versions)"
}

# Unpacked beside, then renamed: a source folder is always whole.
[ -d "$source" ] && exit 0
command -v apt-get >/dev/null || fail "apt-get is missing: the build takes $package from Debian's source package"
command -v dpkg-source >/dev/null || fail "dpkg-source is missing: install dpkg-dev (scripts/ensure-packages.sh)"
[ -n "$(find_dsc)" ] || fetch
rm -rf "$source.partial"
dpkg-source -x "$(find_dsc)" "$source.partial" >/dev/null 2>&1 || fail "dpkg-source could not unpack $(find_dsc)"
mv "$source.partial" "$source"
