#!/usr/bin/env bash
# Builds a small machine of image files to try Tarnovell on, without root and
# without touching a real disk:
#   disk0  64 MiB MBR: an ext4 volume, and a FAT volume in an extended partition
#   disk1  64 MiB GPT: an EFI system partition and a FAT data partition
#   disk2  96 MiB, blank: somewhere to clone or restore to
# Then: export TARNOVELL_HOST=<folder>/machine.ini
set -euo pipefail
folder="${1:-demo}"
mkdir -p "$folder"
cd "$folder"
rm -f disk0.img disk1.img disk2.img machine.ini machine.ini.state machine.ini.state.lock machine.ini.state.volumes

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
INI
echo "export TARNOVELL_HOST=$(pwd)/machine.ini"
