#!/bin/sh
# The README's demo on a folder card, in a folder of its own that is taken away afterwards: as
# root the demo mounts its two destination drives (ext4 images) and leaves them for the user to look at,
# which a test must not.
#   demo_smoke.sh TOLVERDINE
set -u
tool=$1
dir=$(mktemp -d)
TMPDIR=$dir "$tool" demo --folder
rc=$?
# Deepest first; /proc/mounts writes a space in a path as \040, which mktemp's names never hold.
awk -v d="$dir/" 'index($2, d) == 1 { print $2 }' /proc/mounts | sort -r | while read -r m; do
  umount -l "$m"
done
rm -rf "$dir"
exit $rc
