# Sourced by run.sh and test.sh: installs the Debian packages a step needs,
# only those missing, with one apt-get update.
ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]} (install them with apt-get as root)" >&2
    return 1
  fi
  echo "Installing ${missing[*]}..." >&2
  apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What the native build and its tests need (ccache: test.sh builds through it; e2fsprogs: a small ext4 to fill up;
# zip, 7zip, libarchive-tools, tar, pigz, zstd, xz-utils, bzip2, pbzip2, lbzip2: zip (whole and split) and
# (compressed) tar archives made by tools other than ours;
# dosfstools, exfatprogs, exfat-fuse: FAT and exFAT destinations, through the kernel or FUSE;
# dpkg-dev, file, lintian, desktop-file-utils, libxml2-utils, shared-mime-info, bash-completion: the Debian
# package cpack makes, its dependencies found by dpkg-shlibdeps, and its checks).
NATIVE_PACKAGES=(cmake make ccache g++ libgtest-dev libbenchmark-dev zlib1g-dev libdeflate-dev libzstd-dev liblzma-dev libbz2-dev e2fsprogs python3 strace zip 7zip libarchive-tools tar pigz zstd xz-utils bzip2 pbzip2 lbzip2
  dosfstools exfatprogs exfat-fuse dpkg-dev file lintian desktop-file-utils libxml2-utils shared-mime-info bash-completion)
# What the crash states under a real kernel need (tests/kernel): the emulator,
# the guest's shell, the file systems' tools and zip (the zips it extracts
# come from another program). The kernel itself is fetched
# with apt-get download and unpacked, never installed.
KERNEL_PACKAGES=(qemu-system-x86 busybox-static xfsprogs btrfs-progs dosfstools exfatprogs zip)
# What the fuzz targets need: clang with libFuzzer and the sanitizer runtimes,
# and zstd, xz and bzip2 for seed streams.
FUZZ_PACKAGES=(clang libclang-rt-14-dev zstd xz-utils bzip2)
# What the Windows build and its tests under Wine need (dpkg-dev: unpacking
# Debian's sources of Zstandard, liblzma, libbz2 and libdeflate, built with
# MinGW by cmake/zstd.cmake, cmake/xz.cmake, cmake/bzip2.cmake and
# cmake/libdeflate.cmake; nsis: the installer, zarvik-setup.exe).
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64 libz-mingw-w64-dev dpkg-dev wine wine64 xvfb nsis)
# What scripts/screenshot.sh needs besides the Windows packages.
SCREENSHOT_PACKAGES=(imagemagick x11-utils fonts-wine)
# What the benchmarks against other tools need (bench/zstd_compare.sh):
# GNU time for peak memory, zstd and 7-Zip as the references.
BENCH_PACKAGES=(tar time python3 zstd 7zip)
