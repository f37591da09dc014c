#!/usr/bin/env bash
# Builds a small machine of image files to try Tarnovell on, without root and
# without touching a real disk:
#   disk0  64 MiB MBR: an ext4 volume, and a FAT volume in an extended partition
#   disk1  64 MiB GPT: an EFI system partition and a FAT data partition
#   disk2  96 MiB, blank: somewhere to clone or restore to
#   disk3  64 MiB MBR: an NTFS volume with a few files (to capture to a WIM)
#   disk4  64 MiB fixed VHD, blank: a virtual disk to fill
# Then: export TARNOVELL_HOST=<folder>/machine.ini
set -euo pipefail
folder="${1:-demo}"
mkdir -p "$folder"
cd "$folder"
rm -f disk0.img disk1.img disk2.img disk3.img disk4.vhd machine.ini machine.ini.state machine.ini.state.lock machine.ini.state.volumes

truncate -s 64M disk0.img
printf 'label: dos\nlabel-id: 0x7a4e0001\nstart=2048,size=40960,type=83\nstart=43008,size=88064,type=5\nstart=45056,size=86016,type=6\n' \
  | sfdisk -q disk0.img
mkfs.ext4 -q -F -L system -E offset=$((2048 * 512)) disk0.img $((40960 / 2))
mkfs.fat -F 16 -n DATA --offset 45056 disk0.img $((86016 / 2)) >/dev/null

truncate -s 64M disk1.img
sgdisk -n 1:2048:+16M -t 1:EF00 -c 1:EFI -n 2:0:0 -t 2:0700 -c 2:Backups disk1.img >/dev/null
start=$(sgdisk -i 2 disk1.img | sed -n 's/^First sector: \([0-9]*\).*/\1/p')
end=$(sgdisk -i 2 disk1.img | sed -n 's/^Last sector: \([0-9]*\).*/\1/p')
mkfs.fat -F 32 -n EFI --offset 2048 disk1.img $((32768 / 2)) >/dev/null 2>&1 || mkfs.fat -F 16 -n EFI --offset 2048 disk1.img $((32768 / 2)) >/dev/null
mkfs.fat -F 16 -n BACKUPS --offset "$start" disk1.img $(((end - start + 1) / 2)) >/dev/null 2>&1

truncate -s 96M disk2.img

# NTFS made and filled without mounting: mkntfs formats a file of the
# partition's size, wimlib puts files into it, and the file goes into place.
truncate -s 64M disk3.img
printf 'label: dos\nlabel-id: 0x7a4e0003\nstart=2048,size=129024,type=7\n' | sfdisk -q disk3.img
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
truncate -s $((129024 * 512)) "$scratch/part.img"
mkntfs -F -Q -q -L WINDOWS -p 2048 "$scratch/part.img" 2>/dev/null
mkdir -p "$scratch/files/Users/demo" "$scratch/files/Temp"
echo "Hello from the demo machine" > "$scratch/files/Users/demo/readme.txt"
head -c 1000000 /dev/urandom > "$scratch/files/Users/demo/data.bin"
echo "scratch" > "$scratch/files/Temp/junk.tmp"
wimlib-imagex capture "$scratch/files" "$scratch/files.wim" --compress=none >/dev/null
wimlib-imagex apply "$scratch/files.wim" 1 "$scratch/part.img" >/dev/null
dd if="$scratch/part.img" of=disk3.img bs=1M seek=1 conv=notrunc status=none

qemu-img create -q -f vpc -o subformat=fixed,force_size=on disk4.vhd 64M

cat > machine.ini <<'INI'
[disk0]
image=disk0.img
vendor=ACME
product=Demo System Disk
serial=DEMO0001
bus=Sata

[disk1]
image=disk1.img
vendor=ACME
product=Demo GPT Disk
serial=DEMO0002
bus=Sas

[disk2]
image=disk2.img
vendor=ACME
product=Demo Blank Disk
serial=DEMO0003
bus=Usb
removable=1

[disk3]
image=disk3.img
vendor=ACME
product=Demo Windows Disk
serial=DEMO0004
bus=Sata

[disk4]
image=disk4.vhd
vendor=Msft
product=Virtual Disk
serial=DEMO0005
bus=Sas
INI
echo "export TARNOVELL_HOST=$(pwd)/machine.ini"
