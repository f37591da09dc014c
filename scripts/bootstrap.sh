#!/usr/bin/env bash
# Installs what Tarnovell needs on Debian 12 (as root, or through sudo) and
# builds it in build/. Extra CMake arguments can come in TARNOVELL_CMAKE_ARGS
# and another build folder in TARNOVELL_BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  # build
  cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev qt6-base-dev libgl-dev
  # the fuzz targets (clang with libFuzzer)
  clang libclang-rt-dev
  # showing the main window on a virtual display in the tests, and finding
  # windows there (xwininfo)
  xvfb xauth x11-utils
  # the peer tools the tests check our output with, and the tools they build fixtures with
  fdisk gdisk e2fsprogs dosfstools ntfs-3g exfatprogs xfsprogs btrfs-progs util-linux mount lz4
  # extended attributes the Copy Files tests set and read back (setfattr, getfattr)
  attr
  # the partition-type table the program carries is read with pugixml
  libpugixml-dev
  # the peers of the network transfers (plain TCP streams)
  socat netcat-openbsd
  # files and labels written into FAT (mcopy, mlabel) and exFAT (its FUSE mount) volumes
  mtools exfat-fuse
  # UDF volumes for the format window (mkudffs)
  udftools
  # virtual disks (created and converted by qemu-img, served by qemu-nbd, read through libnbd or its FUSE file)
  qemu-utils qemu-block-extra libnbd0 libnbd-bin fuse3 xorriso
  # WIM images (libwim, loaded at run time, built against its header; wimlib-imagex checks our files)
  libwim15 libwim-dev wimtools
  # ISO images (libisofs, loaded at run time, built against its header;
  # genisoimage for UDF; isoinfo and xorriso check our images) and 7-Zip's
  # format library (/usr/lib/p7zip/7z.so, loaded at run time; 7z makes the
  # test archives)
  libisofs6 libisofs-dev genisoimage p7zip-full
  # offline registry hives (libhivex, loaded at run time; hivexget/hivexsh check our edits)
  libhivex0 libhivex-bin
  # image libraries loaded at run time (EWF, VHD/VHDX, VMDK, QCOW); ewf-tools
  # (ewfverify, ewfexport, ewfacquire) check our EWF sets and make the ones we read
  libewf2 libvhdi1 libvmdk1 libqcow1 ewf-tools
  # the crash reporter: zlib for deflate and CRC-32, capstone for disassembly,
  # libdw (elfutils) for symbols and lines, libunwind for stacks; pngcheck
  # checks its PNG files
  zlib1g-dev libcapstone-dev libdw-dev libunwind-dev pngcheck
  # the C library's debug information, which the reporter names C routines
  # and lines with, and llvm-symbolizer, which settles the files of lines
  # that binutils' addr2line misreads in DWARF 5 line tables
  libc6-dbg llvm
  # the crash reporter's hand-over to the user's mail program and browser
  xdg-utils
  # the real SMTP server the reporter's mail is tested against (Python's
  # http.server serves its uploads)
  python3-aiosmtpd
  # the standard MBR boot code the "NT6" button writes (read at run time)
  syslinux-common
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

build_dir="${TARNOVELL_BUILD_DIR:-build}"
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -G Ninja ${TARNOVELL_CMAKE_ARGS:-}
cmake --build "$build_dir"
