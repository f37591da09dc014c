#!/usr/bin/env bash
# Makes the bench's input: a 2 GiB ext4 image holding about 1.5 GiB of
# ordinary files, all of /usr/share and then the files of /usr/lib in name
# order until the total is reached. The file system's identity (UUID, hash
# seed, times) is fixed, so that two machines with the same packages get
# the same image, and the files are copied in one order whatever the
# directory order on disk.
#   bench/make-input.sh IMAGE [SIZE_MIB [DATA_MIB]]   (root: it loop-mounts IMAGE)
set -euo pipefail
image="${1:?usage: make-input.sh IMAGE [SIZE_MIB [DATA_MIB]]}"
size_mib="${2:-2048}"
data_mib="${3:-1536}"
if [ "$(id -u)" != 0 ]; then
    echo "make-input.sh: needs root, to mount the image it fills" >&2
    exit 2
fi

export E2FSPROGS_FAKE_TIME=1700000000 LC_ALL=C
rm -f "$image"
truncate -s "${size_mib}M" "$image"
mkfs.ext4 -q -F -L bench-input -U 6e6f7661-6c6c-4265-6e63-68496e707574 \
    -E hash_seed=6e6f7661-6c6c-4265-6e63-68536565643a,lazy_itable_init=0,lazy_journal_init=0 "$image"

mount_point="$(mktemp -d)"
list="$(mktemp)"
trap 'umount "$mount_point" 2>/dev/null; rmdir "$mount_point"; rm -f "$list" "$list.all"' EXIT
mount -o loop "$image" "$mount_point"

# The files in name order, each with its size; the list stops once DATA_MIB
# is reached. Only ordinary files and the folders and links around them.
limit=$((data_mib * 1024 * 1024))
for root in /usr/share /usr/lib; do
    find "$root" -xdev \( -type f -o -type l \) -printf '%s %p\n' 2>/dev/null | sort -k2 >>"$list.all" || true
done
awk -v limit="$limit" '
    total >= limit { next }
    { total += $1; sub(/^[0-9]+ /, ""); print }' "$list.all" >"$list"
rm -f "$list.all"
tar -C / --no-recursion --mtime=@1700000000 -cf - --files-from=<(sed 's|^/||' "$list") |
    tar -C "$mount_point" -xf - --no-same-owner
sync -f "$mount_point"
df -h --output=used,size "$mount_point" | tail -1 | awk '{ print "make-input.sh: " $1 " of " $2 " used in the image" }'
