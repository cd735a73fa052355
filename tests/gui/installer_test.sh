#!/usr/bin/env bash
# zarvik-setup.exe under Wine, in a prefix of its own so that the registry holds nothing of other tests: a silent
# per-user install, its files, Start menu entry, association and context menu, the program started through the
# association, then a silent uninstall that leaves the user's classes as they were before.
# Usage: installer_test.sh SETUP_EXE SCRIPTS_DIR
set -euo pipefail
setup=$(realpath "$1")
scripts=$(realpath "$2")

if [ -z "${IN_OWN_PREFIX:-}" ]; then
  prefix_root=$(mktemp -d)
  trap 'rm -rf "$prefix_root"' EXIT
  # Wine's menu builder would copy the shortcut and the association into the host's desktop menus.
  IN_OWN_PREFIX=1 WINEPREFIX="$prefix_root/prefix" WINEDLLOVERRIDES="winemenubuilder.exe=d" \
    "$scripts/with-wine.sh" "$0" "$@"
  exit
fi

fail() { echo "installer_test: $*" >&2; exit 1; }
win() { wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
classes() { win reg query 'HKCU\Software\Classes' /s; }
# Waits up to ten minutes for a condition (a shell command) to hold.
await() { for _ in $(seq 1 600); do eval "$1" && return 0; sleep 1; done; fail "never: $1"; }
# has_value KEY NAME TEXT: the value NAME ("" for the default) of the user's class KEY holds TEXT.
has_value() {
  local name=(/v "$2")
  [ -n "$2" ] || name=(/ve)
  win reg query "HKCU\\Software\\Classes\\$1" "${name[@]}" | grep -qF -- "$3"
}

# Windows always has the user's classes key; a fresh Wine prefix has none yet.
win reg add 'HKCU\Software\Classes' /f >/dev/null
before=$(classes)
wine "$setup" /S </dev/null >/dev/null 2>&1 || fail "the installer failed"

uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZarvikArchiver'
location=$(win reg query "$uninstall_key" /v InstallLocation | sed -n 's/.*REG_SZ *//p')
case "$location" in *'\AppData\Local\Programs\Zarvik') ;; *) fail "installed into '$location'" ;; esac
dir=$(winepath -u "$location" 2>/dev/null)
for file in ZarvikArchiver.exe zarvik.exe Uninstall.exe; do [ -f "$dir/$file" ] || fail "$file is missing"; done
appdata=$(winepath -u "$(win cmd /c echo '%APPDATA%')" 2>/dev/null)
shortcut="$appdata/Microsoft/Windows/Start Menu/Programs/Zarvik Archiver.lnk"
[ -f "$shortcut" ] || fail "no Start menu entry"

program="\"$location\\ZarvikArchiver.exe\""
has_value .zvka '' ZarvikArchiver.zvka || fail "no .zvka association"
has_value .zvkj '' ZarvikArchiver.zvkj || fail "no .zvkj association"
has_value 'ZarvikArchiver.zvka\DefaultIcon' '' "$program,0" || fail "no .zvka icon"
has_value 'ZarvikArchiver.zvka\shell\open\command' '' "$program \"%1\"" || fail "no .zvka command"
has_value '*\shell\ZarvikArchiver\shell\add\command' '' "$program --context-archive \"%1\"" ||
  fail "no Add to archive"
has_value 'SystemFileAssociations\.z01\shell\ZarvikArchiver\shell\extract_to' MUIVerb 'Extract to "%1\"' ||
  fail "no Extract to"

# The program rewrites its menu at start: with one key gone, its return shows that the program ran, and the classes
# matching those after the install show that the installer wrote the very values the program writes. Wine's shell
# reads no per-user classes, so the test starts the command the association names itself.
installed=$(classes)
# The key deleted holds the last value the program writes.
win reg delete 'HKCU\Software\Classes\SystemFileAssociations\.z01\shell\ZarvikArchiver' /f >/dev/null
archive_dir=$(mktemp -d)
: >"$archive_dir/sample.zvka"
open_command=$(win reg query 'HKCU\Software\Classes\ZarvikArchiver.zvka\shell\open\command' /ve |
  sed -n 's/.*REG_SZ *"\([^"]*\)" "%1"$/\1/p')
[ -n "$open_command" ] || fail "the association names no program"
(setsid wine "$open_command" "$(winepath -w "$archive_dir/sample.zvka" 2>/dev/null)" </dev/null >/dev/null 2>&1 &)
await "has_value 'SystemFileAssociations\\.z01\\shell\\ZarvikArchiver\\shell\\extract_to\\command' '' --context-extract-to"
win taskkill /f /im ZarvikArchiver.exe >/dev/null || true
await "! pgrep -f 'Zarvik.ZarvikArchiver\\.exe' >/dev/null"
rm -rf "$archive_dir"
[ "$(classes)" = "$installed" ] || { diff <(echo "$installed") <(classes) >&2; fail "the program wrote other values"; }

win "$location\\Uninstall.exe" /S >/dev/null || fail "the uninstaller failed"
# The uninstaller runs on from a copy of itself after the first process ends.
await "[ ! -e '$dir' ]"
await "! win reg query '$uninstall_key' >/dev/null"
[ ! -e "$shortcut" ] || fail "the Start menu entry is left"
[ "$(classes)" = "$before" ] || { diff <(echo "$before") <(classes) >&2; fail "the classes differ after uninstall"; }
echo "installer_test: installed, ran and uninstalled cleanly"
