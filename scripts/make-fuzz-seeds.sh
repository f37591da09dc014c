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

mkdir -p "$corpus"/{partition_table,filesystem,lz4_frame,ini,wim_xml,vdi_image}

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

# Boot sectors and MBRs as the Advanced tab reads them: the first sector of
# each file system made above, and of the partition tables.
mkdir -p "$corpus/boot_record_fields"
for name in fat12 fat16 fat32 ntfs exfat; do
  head -c 512 "$work/$name.img" > "$corpus/boot_record_fields/$name"
done
for name in mbr gpt; do head -c 512 "$work/$name.img" > "$corpus/boot_record_fields/$name-table"; done

# NTFS: small volumes of 512-byte clusters, so that the boot sector, $MFT
# and the first records fit a seed; one relabelled with files copied in.
# The MFT records 0 (with the $MFT runs), 3 ($Volume) and 6 ($Bitmap) are
# seeds of their own.
mkdir -p "$corpus"/{ntfs,mft_record}
img=$work/ntfs-small.img
truncate -s 2M "$img"
LC_ALL=C.UTF-8 mkntfs -Q -F -q -c 512 -s 512 -L 'Données' "$img" >/dev/null 2>&1
disk_seed "$img" 126976 "$corpus/ntfs/labelled"
head -c 40000 /dev/urandom > "$work/payload"
ntfscp -q "$img" "$work/payload" payload.bin
LC_ALL=C.UTF-8 ntfslabel "$img" 'Ωmega'
disk_seed "$img" 126976 "$corpus/ntfs/relabelled-with-file"
mft=$(( $(od -An -t u8 -j 48 -N 8 "$img") * 512 ))
for record in 0 3 6; do
  dd if="$img" of="$corpus/mft_record/record-$record" bs=1 skip=$(( mft + record * 1024 )) count=1024 status=none
done

# LZ4 legacy frames as lz4 -l writes them: text, zeros, and nothing at all.
seq 1 4000 > "$work/text"
head -c 200000 /dev/zero > "$work/zeros"
: > "$work/empty"
for name in text zeros empty; do lz4 -q -l -f "$work/$name" "$corpus/lz4_frame/$name"; done

# VDI images as qemu-img writes them: an empty dynamic one, and the start
# (header, block map, the first data) of a dynamic and a static one that
# hold data.
qemu-img create -q -f vdi "$corpus/vdi_image/dynamic-empty" 64M
truncate -s 3M "$work/vdi.raw"
printf 'data in the second block' | dd of="$work/vdi.raw" bs=1 seek=1048576 conv=notrunc status=none
for kind in off on; do
  qemu-img convert -f raw -O vdi -o static=$kind "$work/vdi.raw" "$work/vdi-$kind.vdi"
done
head -c 8192 "$work/vdi-off.vdi" > "$corpus/vdi_image/dynamic-start"
head -c 8192 "$work/vdi-on.vdi" > "$corpus/vdi_image/static-start"

# What network peers send. A devio server's answers on one connection: the
# INFO reply (size, alignment, flags), then READ replies (errno, length, the
# data). The first bytes of a raw stream: an MBR, an NTFS boot sector, zeros.
le64() { local i; for i in 0 1 2 3 4 5 6 7; do printf "\\x$(printf %02x $(( ($1 >> (8 * i)) & 255 )))"; done; }
fill() { head -c "$1" /dev/zero | tr '\0' "$2"; }
mkdir -p "$corpus"/{devio_reply,stream_size_guess}
{ le64 1024; le64 512; le64 0; le64 0; le64 512; fill 512 A; le64 0; le64 512; fill 512 B; } > "$corpus/devio_reply/two-reads"
{ le64 700; le64 512; le64 0; le64 0; le64 512; fill 512 A; le64 0; le64 188; fill 188 B; } > "$corpus/devio_reply/last-read-cut"
{ le64 1024; le64 512; le64 0; le64 5; le64 0; } > "$corpus/devio_reply/error"
{ le64 1024; le64 512; le64 0; le64 0; le64 256; fill 256 C; } > "$corpus/devio_reply/short"
head -c 512 "$work/mbr.img" > "$corpus/stream_size_guess/mbr"
head -c 512 "$work/ntfs.img" > "$corpus/stream_size_guess/ntfs"
fill 512 '\0' > "$corpus/stream_size_guess/zeros"

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

# The partition-type table: the one the program carries, and a small one in
# another encoding with rows between other elements.
mkdir -p "$corpus/partition_types"
cp resources/partition_types.xml "$corpus/partition_types/carried"
printf '<?xml version="1.0" encoding="UTF-8"?>\n<t a="b"><node><Cell>07</Cell><Desc>one &amp; two</Desc></node><x/>' \
  > "$corpus/partition_types/small"
printf '<node><Cell>{c12a7328-f81f-11d2-ba4b-00a0c93ec93b}</Cell><Desc><![CDATA[EFI]]></Desc></node></t>\n' \
  >> "$corpus/partition_types/small"

find "$corpus" -type f | sort | xargs ls -l | awk '{print $5, $9}'

# Crash reporter: a small ELF image with symbols and line tables, built here.
mkdir -p "$corpus"/{crash_codec,elf_debug_info}
printf 'int helper(int v) { return v * 3; }\nint main(void) { return helper(2); }\n' > "$work/small.c"
gcc -g -O1 -o "$corpus/elf_debug_info/small" "$work/small.c"
strip --strip-debug -o "$corpus/elf_debug_info/small-stripped" "$corpus/elf_debug_info/small"
# dpkg's status file, where the reporter finds the versions of libraries:
# an installed package of one architecture, one removed, one with an epoch.
mkdir -p "$corpus/package_status"
printf 'Package: libc6\nStatus: install ok installed\nArchitecture: amd64\nVersion: 2.36-9+deb12u14\nDescription: C\n library\n\nPackage: gone\nStatus: deinstall ok config-files\nVersion: 1.0\n\nPackage: zlib1g\nStatus: hold ok installed\nVersion: 1:1.2.13.dfsg-1\n' \
  > "$corpus/package_status/status"

# ISO 9660 images as xorriso makes them, unpadded so that they fit a seed:
# a plain tree, one with a GRUB folder and BOOTMGR, and one with El Torito.
mkdir -p "$corpus/iso9660" "$work/iso/isolinux" "$work/iso/boot/grub/i386-pc"
printf 'boot' > "$work/iso/isolinux/isolinux.bin"
printf 'loader' > "$work/iso/BOOTMGR"
printf 'module' > "$work/iso/boot/grub/i386-pc/normal.mod"
xorriso -as mkisofs -quiet -no-pad -iso-level 2 -V DISK -o "$corpus/iso9660/tree" "$work/iso" 2>/dev/null
xorriso -as mkisofs -quiet -no-pad -J -o "$corpus/iso9660/joliet-eltorito" \
  -b isolinux/isolinux.bin -no-emul-boot -boot-load-size 4 "$work/iso" 2>/dev/null

# Archive item paths: plain, Windows-made, and the ones that try to leave.
mkdir -p "$corpus/sevenzip_item_path"
for p in 'a/b/c.txt' 'dir\file.txt' './x' '../evil' '/etc/passwd' 'C:\x' 'a/../../b' '...'; do
  printf '%s' "$p" > "$corpus/sevenzip_item_path/$(printf '%s' "$p" | md5sum | cut -c1-12)"
done

# VHD report: a dynamic footer followed by its header, as qemu-img makes
# them, and the footer of a fixed disk.
mkdir -p "$corpus/vhd_report"
qemu-img create -q -f vpc -o subformat=dynamic "$work/dyn.vhd" 64M
head -c 1536 "$work/dyn.vhd" > "$corpus/vhd_report/dynamic"
qemu-img create -q -f vpc -o subformat=fixed "$work/fixed.vhd" 1M
tail -c 512 "$work/fixed.vhd" > "$corpus/vhd_report/fixed"

# The crash reporter's component streams (settings and dialog forms) and the
# DNS replies its mail-exchanger look-up reads, written byte by byte as the
# reporter and a name server make them.
mkdir -p "$corpus"/{settings_stream,dns_reply}
printf 'TPF0\x0aTZelExcept\x09zelExcept\x07Enabled\x09\x0dFreezeTimeout\x04\x60\xea\x00\x00\x08MailAddr\x06\x05a@b.c\x08BugRepFile\x0c\x0d\x00\x00\x00bugreport.txt\x04Wide\x12\x02\x00\x00\x00a\x00b\x00\x00' \
  > "$corpus/settings_stream/settings"
printf 'TPF0\x07TNVForm\x0bContactForm\x07Message\x06\x07Contact\x00\x08INVLabel\x04Head\x07Caption\x06\x05Name:\x00\x00\x07INVEdit\x08NameEdit\x05Lines\x02\x01\x08Optional\x09\x00\x00\x09INVButton\x08AbortBtn\x07Caption\x06\x04Stop\x00\x00\x00' \
  > "$corpus/settings_stream/form"
# An MX reply for example.org whose exchanger's name points back into the question.
printf '\x00\x1d\x00\x01\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00\x07example\x03org\x00\x00\x0f\x00\x01\xc0\x0c\x00\x0f\x00\x01\x00\x00\x0e\x10\x00\x07\x00\x0a\x02mx\xc0\x0c' \
  > "$corpus/dns_reply/mx"
# An NS referral: no answer, two name servers in the authority section.
printf '\x01\x1d\x00\x01\x81\x80\x00\x01\x00\x00\x00\x02\x00\x00\x07example\x03org\x00\x00\x02\x00\x01\xc0\x0c\x00\x02\x00\x01\x00\x00\x0e\x10\x00\x06\x03ns1\xc0\x0c\xc0\x0c\x00\x02\x00\x01\x00\x00\x0e\x10\x00\x06\x03ns2\xc0\x0c' \
  > "$corpus/dns_reply/ns-referral"

# Registry hives: the smallest one hivex opens, written field by field (hivex
# changes hives but cannot make one), and a SYSTEM hive hivexsh grows from it
# with the keys and value types the registry repairs meet.
mkdir -p "$corpus/offline_hive"
le32() { local i; for i in 0 1 2 3; do printf "\\x$(printf %02x $(( ($1 >> (8 * i)) & 255 )))"; done; }
le16() { printf "\\x$(printf %02x $(( $1 & 255 )))\\x$(printf %02x $(( ($1 >> 8) & 255 )))"; }
{
  # Base block: equal sequence numbers, format 1.5, the root key at 0x20,
  # one 4 KiB bin, and the XOR checksum of the first 508 bytes.
  printf 'regf'; le32 1; le32 1; head -c 8 /dev/zero; le32 1; le32 5; le32 0; le32 1; le32 0x20; le32 0x1000; le32 1
  head -c $((0x1FC - 0x30)) /dev/zero; le32 0x66677556; head -c $((0x1000 - 0x200)) /dev/zero
  printf 'hbin'; le32 0; le32 0x1000; head -c 20 /dev/zero
  # The root key: no subkeys, no values, the security cell at 0x78.
  le32 0xFFFFFFA8; printf 'nk'; le16 0x2C; head -c 12 /dev/zero
  le32 0xFFFFFFFF; le32 0; le32 0; le32 0xFFFFFFFF; le32 0xFFFFFFFF; le32 0; le32 0xFFFFFFFF; le32 0x78; le32 0xFFFFFFFF
  head -c 20 /dev/zero; le16 6; le16 0; printf 'SYSTEM'; head -c 2 /dev/zero
  # The security cell, alone in its ring: a descriptor with a null DACL.
  le32 0xFFFFFFD0; printf 'sk'; le16 0; le32 0x78; le32 0x78; le32 1; le32 20
  printf '\x01\x00'; le16 0x8004; head -c 20 /dev/zero
  # The rest of the bin is free.
  le32 $((0x1000 - 0xA8)); head -c $((0x1000 - 0xA8 - 4)) /dev/zero
} > "$corpus/offline_hive/empty"
cat > "$work/hive.script" <<SCRIPT
load $corpus/offline_hive/empty
add Select
cd Select
setval 2
Current
dword:1
LastKnownGood
hex:11:02,00,00,00,00,00,00,00
cd ..
add MountedDevices
cd MountedDevices
setval 1
\\DosDevices\\C:
hex:3:6c,5b,aa,10,00,00,10,00,00,00,00,00
cd ..
add ControlSet001
cd ControlSet001
add Services
cd Services
add atapi
cd atapi
setval 3
Start
dword:3
Group
string:SCSI miniport
ImagePath
expandstring:System32\\drivers\\atapi.sys
cd ..
cd ..
add Enum
cd Enum
add Root
cd Root
add ACPI_HAL
cd ACPI_HAL
add 0000
cd 0000
setval 1
HardwareID
hex:7:61,00,63,00,70,00,69,00,00,00,2a,00,61,00,00,00,00,00
commit $corpus/offline_hive/system
SCRIPT
hivexsh -w -f "$work/hive.script"

# dmsetup tables of snapshots, as `dmsetup table --target snapshot` prints them.
mkdir -p "$corpus/shadow_table"
printf 'snap_b: 0 204800 snapshot 253:0 253:1 P 8\nlinear0: 0 2048 linear 8:1 0\nsnap_a: 0 409600 snapshot 8:17 253:2 N 16\n' \
  > "$corpus/shadow_table/two-snapshots.txt"
printf 'No devices found\n' > "$corpus/shadow_table/none.txt"

# Images for our checks, followed in their fuzz targets by the libraries:
# QCOW files of small clusters with data (qemu-img, qemu-io), VMDK sparse,
# stream-optimized and flat descriptors (the flat one naming flat.img, the
# extent the target lays beside it), VHD and VHDX files laid out as pieces
# (sector, length, bytes: the target's input format) from their non-zero
# sectors, and EWF first segments from ewfacquire.
mkdir -p "$corpus"/{qcow_image,vmdk_image,vhd_check,ewf_segment}
head -c 65536 /dev/urandom > "$work/data64k"
for options in "qcow2 -o cluster_size=512" "qcow2 -o cluster_size=512,compat=0.10" "qcow"; do
  set -- $options
  name=$1${3:+-$(echo "$3" | tr ',=' '--')}
  qemu-img create -q -f "$@" "$work/$name" 1M
  qemu-io -f "$1" -c 'write -P 0x5a 4096 8192' -c 'write -P 0x33 900k 4096' "$work/$name" >/dev/null
  cp "$work/$name" "$corpus/qcow_image/$name"
done
truncate -s 1M "$work/small.raw"
dd if="$work/data64k" of="$work/small.raw" bs=4096 seek=8 count=4 conv=notrunc status=none
qemu-img convert -f raw -O qcow2 -c -o cluster_size=4096 "$work/small.raw" "$corpus/qcow_image/qcow2-compressed"
for kind in monolithicSparse streamOptimized; do
  qemu-img convert -f raw -O vmdk -o subformat=$kind "$work/small.raw" "$work/image.vmdk"
  cp "$work/image.vmdk" "$corpus/vmdk_image/$kind"
done
printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\n# Extent description\nRW 2048 FLAT "flat.img" 0\n\n# The Disk Data Base\n#DDB\n\nddb.geometry.cylinders = "2"\nddb.geometry.heads = "16"\nddb.geometry.sectors = "63"\nddb.adapterType = "ide"\n' \
  > "$corpus/vmdk_image/flat-descriptor"
pieces() {  # image output: every sector with a byte other than zero, as a piece
  perl -e 'open(my $in, "<:raw", $ARGV[0]) or die; open(my $out, ">:raw", $ARGV[1]) or die;
    my ($sector, $block) = (0, "");
    while (read($in, $block, 512)) { print $out pack("VvA*", $sector, length $block, $block) if $block =~ /[^\0]/; $sector++; }' "$1" "$2"
}
qemu-img convert -f raw -O vpc -o subformat=dynamic "$work/small.raw" "$work/dynamic.vhd"
qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on "$work/small.raw" "$work/fixed.vhd"
qemu-img convert -f raw -O vhdx -o subformat=dynamic "$work/small.raw" "$work/dynamic.vhdx"
# A fixed VHD's footer is its last sector, so its last piece ends the file where it ends.
for name in dynamic.vhd fixed.vhd dynamic.vhdx; do pieces "$work/$name" "$corpus/vhd_check/$name"; done
ewfacquire -u -q -c none -t "$work/plain" "$work/data64k" >/dev/null
ewfacquire -u -q -c best -t "$work/deflated" "$work/small.raw" >/dev/null
cp "$work/plain.E01" "$corpus/ewf_segment/uncompressed.E01"
cp "$work/deflated.E01" "$corpus/ewf_segment/compressed.E01"

# What a file to be restored holds: the first bytes of each container the
# raw restore refuses, a whole small fixed VHD (told by its last sector),
# and both LZ4 formats.
mkdir -p "$corpus/stored_format"
for format in vpc vhdx qcow2 vmdk vdi; do
  qemu-img create -q -f $format "$work/seed.$format" 1M
  head -c 1024 "$work/seed.$format" > "$corpus/stored_format/$format"
done
qemu-img create -q -f vpc -o subformat=fixed,force_size=on "$work/seed.fixed" 64K
cp "$work/seed.fixed" "$corpus/stored_format/fixed-vhd"
head -c 4096 /dev/zero | lz4 -q -l -f - "$corpus/stored_format/lz4-legacy"
head -c 4096 /dev/zero | lz4 -q -f - "$corpus/stored_format/lz4-frame"
head -c 1024 "$corpus/ewf_segment/uncompressed.E01" > "$corpus/stored_format/ewf"
