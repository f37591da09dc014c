#!/usr/bin/env bash
# Builds the seed corpora of the fuzz targets in fuzz/corpus/<target>/ from
# what the real tools make: partition tables by sfdisk and sgdisk, file
# systems by their mkfs, LZ4 frames by lz4, WIM XML by wimlib-imagex, VHD
# files by qemu-img, INI files and machine manifests as the program reads
# them. The seeds are kept in the repository; run this again only to remake
# them.
set -euo pipefail
cd "$(dirname "$0")/.."
corpus=fuzz/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A disk seed: sector-size choice (0: 512), the size in sectors (32-bit
# little-endian), then the first bytes of the image.
disk_seed() {  # image bytes-to-keep output
  local image=$1 keep=$2 out=$3
  local sectors=$(( $(stat -c %s "$image") / 512 ))
  {
    printf '\x00'
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((sectors & 255)) $(((sectors >> 8) & 255)) \
      $(((sectors >> 16) & 255)) $(((sectors >> 24) & 255)))"
    head -c "$keep" "$image"
  } > "$out"
}

mkdir -p "$corpus"/{partition_table,filesystem,lz4_frame,ini,wim_xml}

# Partition tables: an MBR with a chain of EBRs close to its start, and a GPT.
img=$work/mbr.img
truncate -s 2M "$img"
printf 'label: dos\nstart=4,size=8,type=83\nstart=16,size=200,type=5\nstart=20,size=8,type=7\nstart=32,size=8,type=b\n' |
  sfdisk -q "$img"
disk_seed "$img" 20480 "$corpus/partition_table/mbr-ebr-chain"
img=$work/gpt.img
truncate -s 4M "$img"
sgdisk -n 1:2048:4095 -t 1:0700 -c 1:Data -n 2:4096:6143 -t 2:8300 "$img" >/dev/null
disk_seed "$img" 17408 "$corpus/partition_table/gpt-two-entries"
img=$work/protective.img
truncate -s 1M "$img"
printf 'label: dos\nstart=1,size=2047,type=ee\n' | sfdisk -q "$img"
disk_seed "$img" 512 "$corpus/partition_table/protective-only"

# File systems: the first sectors where their boot blocks and superblocks live.
fs_seed() {  # name size keep mkfs-command...
  local name=$1 size=$2 keep=$3
  shift 3
  img=$work/$name.img
  rm -f "$img"
  truncate -s "$size" "$img"
  "$@" "$img" >/dev/null 2>&1
  disk_seed "$img" "$keep" "$corpus/filesystem/$name"
}
fs_seed fat12 2M 8192 mkfs.fat -F 12 -n SMALL
fs_seed fat16 20M 8192 mkfs.fat -F 16 -n MIDDLE
fs_seed fat32 40M 8192 mkfs.fat -F 32 -n LARGE
fs_seed ntfs 8M 16384 mkntfs -q -F -f -L Windows
fs_seed exfat 8M 8192 mkfs.exfat -L Stick
fs_seed ext4 8M 8192 mkfs.ext4 -q -F -L linux
fs_seed xfs 320M 4096 mkfs.xfs -q -f -L xfs
fs_seed btrfs 128M 69632 mkfs.btrfs -q -f -L tree

# LZ4 legacy frames as lz4 -l writes them: text, zeros, and nothing at all.
seq 1 4000 > "$work/text"
head -c 200000 /dev/zero > "$work/zeros"
: > "$work/empty"
for name in text zeros empty; do lz4 -q -l -f "$work/$name" "$corpus/lz4_frame/$name"; done

# INI files: the program's config, a machine manifest and its state file.
printf '[options]\r\nenable_advanced=1\r\nhide_advanced=0\r\n[outlookbar]\r\nVirtual Hard Disk\r\n' \
  > "$corpus/ini/config.ini"
printf '[disk0]\nimage=disk0.img ; the system disk\nvendor=ACME\nsector_size=4096\nremovable=1\n\n[disk1]\nimage=disk1.vhd\n' \
  > "$corpus/ini/machine.ini"
printf '[letters]\n{0A1B2C3D-0000-4000-8000-000000000001}=C\n[disk 0001]\nattributes=2\n' \
  > "$corpus/ini/machine.ini.state"

# WIM image information: the UTF-16 XML wimlib writes, and plain UTF-8.
mkdir -p "$work/tree/sub"
echo hello > "$work/tree/sub/file.txt"
wimlib-imagex capture "$work/tree" "$work/t.wim" "Seed" "A seed image" >/dev/null
wimlib-imagex info --xml "$work/t.wim" > "$corpus/wim_xml/wimlib-utf16"
printf '<IMAGE INDEX="1"><NAME>a &amp; b</NAME><WINDOWS><VERSION><MAJOR>10</MAJOR></VERSION>' \
  > "$corpus/wim_xml/plain"
printf '<LANGUAGES><LANGUAGE>en-US</LANGUAGE><LANGUAGE>de-DE</LANGUAGE></LANGUAGES></WINDOWS></IMAGE>' \
  >> "$corpus/wim_xml/plain"

# VHD files as qemu-img writes them: a dynamic one without blocks, a small
# fixed one, and the start of a dynamic one whose first block holds data
# (footer copy, header, table and that block's bitmap; the rest of the block
# is past what a fuzz input holds).
mkdir -p "$corpus"/{vhd_image,machine_manifest}
qemu-img create -q -f vpc -o subformat=dynamic "$corpus/vhd_image/dynamic-empty.vhd" 4M
qemu-img create -q -f vpc -o subformat=fixed,force_size=on "$corpus/vhd_image/fixed-64k.vhd" 64K
truncate -s 4M "$work/data.img"
printf 'TARNOVELL' | dd of="$work/data.img" conv=notrunc status=none
qemu-img convert -f raw -O vpc "$work/data.img" "$work/data.vhd"
head -c 8192 "$work/data.vhd" > "$corpus/vhd_image/dynamic-first-block"

# Machine manifests: one with every key, comments and CR LF, and one with
# two disks and an absolute image path.
printf '; demo\r\n[disk0]\r\nimage=disk0.img ; the system disk\r\nvendor=ACME\r\nproduct=Demo Disk\r\nrevision=1.0\r\nserial=0001\r\nbus=Usb\r\nremovable=1\r\nsector_size=4096\r\nreadonly=0\r\n' \
  > "$corpus/machine_manifest/every-key.ini"
printf '[disk0]\nimage=/images/a.img\n\n[disk3]\nimage=b.vhd\nbus=Sas\n' > "$corpus/machine_manifest/two-disks.ini"

find "$corpus" -type f | sort | xargs ls -l | awk '{print $5, $9}'

# Crash reporter: a small ELF image with symbols and line tables, built here.
mkdir -p "$corpus"/{crash_codec,elf_debug_info}
printf 'int helper(int v) { return v * 3; }\nint main(void) { return helper(2); }\n' > "$work/small.c"
gcc -g -O1 -o "$corpus/elf_debug_info/small" "$work/small.c"
strip --strip-debug -o "$corpus/elf_debug_info/small-stripped" "$corpus/elf_debug_info/small"
