# The guest's side of the crash states: init.sh runs the host's steps, one call of these a line, which print what the
# host reads back (RECORDED, CREATED, RESULT). A step may set $archive first; the tree goes to /mnt/out.
archive=/mnt/a.zvka

mount_fs() {  # DEVICE FSTYPE
  mkdir -p /mnt
  if [ "$2" = vfat ]; then mount -t vfat -o iocharset=utf8 "$1" /mnt; else mount -t "$2" "$1" /mnt; fi
}

# Beside the tree, what the file system keeps itself and a squeeze's filler: anything else a run left behind.
left_behind() { ls -A /mnt | grep -vx -e out -e lost+found -e filler | tr '\n' ' '; }

# One line a file or folder, the same under busybox on the host.
manifest() { (cd "$1" && find . -type d | sort && find . -type f -exec sha256sum {} + | sort -k 2); }
result() { echo "RESULT $*"; }
said() { head -c 300 "${1:-/tmp/log}" | tr '\n' ' '; }  # what a run printed, on one line
sha() { sha256sum "$1" | cut -d ' ' -f 1; }

mounted() { mount_fs "$2" "$3" || { result "$1" FAIL mount failed; false; }; }  # ID DEVICE FSTYPE

prepare_extract() {  # DEVICE FSTYPE ARCHIVE: the archive in place
  mount_fs "$1" "$2" && copy_archive "$3" && umount /mnt || echo "GUEST prepare failed on $1"
}

copy_archive() {  # ARCHIVE: to $archive; a set (ARCHIVE is its NAME.001) every part, numbered alike
  case $1 in
    *.001) for part in "${1%001}"[0-9][0-9][0-9]; do cp "$part" "${archive%001}${part##*.}" || return; done ;;
    *) cp "$1" "$archive" ;;
  esac
}

prepare_create() {  # DEVICE FSTYPE ARCHIVE EARLIER: the source tree, and an earlier file where the archive goes
  mount_fs "$1" "$2" && zarvik extract -q --keep "$3" /mnt/src && cp "$4" "$archive" && umount /mnt ||
    echo "GUEST prepare failed on $1"
}

prepare_squeeze() {  # DEVICE FSTYPE ARCHIVE FREE_KIB: the archive in place, and a filler that leaves FREE_KIB free
  mount_fs "$1" "$2" && cp "$3" "$archive" || { echo "GUEST prepare failed on $1"; return; }
  dd if=/dev/zero of=/mnt/filler bs=1024 count="$(($(free_kib) - $4))" 2>/dev/null
  umount /mnt
}

free_kib() { df -k /mnt | awk 'NR == 2 { print $4 }'; }

record() {  # DEVICE FSTYPE ARGUMENTS...: one uninterrupted run of zarvik, and the sha of an archive it leaves
  mount_fs "$1" "$2" || { echo "RECORDED $1 mount-failed"; return; }
  dev=$1 && shift 2
  zarvik "$@" >/tmp/log 2>&1
  echo "RECORDED $dev $? $(said)"
  [ ! -e "$archive" ] || echo "CREATED $dev $(sha "$archive")"
  umount /mnt
}

check_extract() {  # ID DEVICE FSTYPE EXPECTED: recovered as a user would, the tree compared with the manifest
  mounted "$@" || return
  how=none rc=0 resume=  # resume, or a fresh run where nothing was recorded
  if [ -e "$archive.zvkj" ]; then how=resume resume=--resume; elif [ -e "$archive" ]; then how=fresh; fi
  [ "$how" = none ] || zarvik extract -q $resume "$archive" /mnt/out >/tmp/log 2>&1 || rc=$?
  if [ "$rc" -ne 0 ]; then
    result "$1" FAIL "$how exited $rc: $(said)"
  elif [ -n "$(left_behind)" ]; then
    result "$1" FAIL "$how left $(left_behind)"
  elif ! manifest /mnt/out | cmp -s - "$4"; then
    result "$1" FAIL "$how gave a tree that differs: $(manifest /mnt/out | diff "$4" - | grep '^[-+][^-+]' | head -3 | tr '\n' ' ')"
  else
    result "$1" ok "$how"
  fi
  umount /mnt
}

check_squeeze() {  # ID DEVICE FSTYPE EXPECTED TREE_KIB: check_extract where the tree does not fit beside the archive
  mounted "$@" || return
  free=$(free_kib); umount /mnt
  [ "$free" -lt "$5" ] || { result "$1" FAIL "the tree fits beside the archive ($free KiB free): no squeeze"; return; }
  check_extract "$1" "$2" "$3" "$4"
}

check_refused() {  # ID DEVICE FSTYPE ARCHIVE_SHA: no room, so refused before it writes
  mounted "$@" || return
  zarvik extract -q "$archive" /mnt/out >/tmp/log 2>&1
  rc=$?
  if [ "$rc" -eq 0 ] || ! grep -q "Not enough free space" /tmp/log; then
    result "$1" FAIL "exited $rc, not refused for space: $(said)"
  elif [ -e /mnt/out ] || [ -e "$archive.zvkj" ] || [ "$(sha "$archive")" != "$4" ]; then
    result "$1" FAIL "refused, but wrote something"
  else
    result "$1" ok refused
  fi
  umount /mnt
}

check_fat_limit() {  # ID DEVICE ARCHIVE: extracting a 4.5 GiB file, or creating from one, refused on FAT32
  mounted "$1" "$2" vfat || return
  zarvik extract -q "$3" /mnt/big >/tmp/log 2>&1
  extracted=$?
  mkdir -p /tmp/huge && truncate -s 4718592000 /tmp/huge/h.bin
  zarvik create -q /tmp/huge /mnt/h.zvka >/tmp/log2 2>&1
  created=$?
  rm -rf /tmp/huge
  if [ "$extracted" -eq 0 ] || ! grep -q "holds no file over 4294967295 bytes: /mnt/big/" /tmp/log; then
    result "$1" FAIL "extraction exited $extracted: $(said)"
  elif [ "$created" -eq 0 ] || ! grep -q "holds no file over 4294967295 bytes (FAT32)" /tmp/log2; then
    result "$1" FAIL "creation exited $created: $(said /tmp/log2)"
  elif [ -e /mnt/big ] || [ -e "$3.zvkj" ] || ls /mnt | grep -q "h.zvka"; then
    result "$1" FAIL "refused, but wrote something: $(ls /mnt | tr '\n' ' ')"
  else
    result "$1" ok refused
  fi
  umount /mnt
}

check_create() {  # ID DEVICE FSTYPE EARLIER_SHA NEW_SHA: the archive's name holds the earlier file or the new one
  mounted "$@" || return
  case $([ -e "$archive" ] && sha "$archive") in
    "") result "$1" FAIL "no file under the archive's name" ;;
    "$4") result "$1" ok earlier ;;
    "$5") result "$1" ok new ;;
    *) result "$1" FAIL "the archive's name holds neither the earlier file nor the new archive ($(wc -c <"$archive") bytes)" ;;
  esac
  umount /mnt
}
