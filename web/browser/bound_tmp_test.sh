#!/bin/sh
# The browser flow again with /tmp a bind mount of another folder of the system disk, as in some
# sandboxes and containers: cards under a watched folder there must still be seen, and its
# destinations taken. Usage: bound_tmp_test.sh TOLVERDINE; exits 77 (skipped) without root or unshare.
set -eu
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
# The bind mount hides whatever lies under /tmp, this test's own files among them.
case "$here/:$1" in /tmp/* | *:/tmp/*) echo "SKIP: the checkout or the program lies under /tmp"; exit 77 ;; esac
src=$(mktemp -d /var/tmp/tolverdine-bound-XXXXXX)
trap 'rm -rf "$src"' EXIT
unshare -m --propagation private sh -c 'mount --bind "$1" /tmp' sh "$src" 2>/dev/null ||
  { echo "SKIP: no bind mount in a mount namespace"; exit 77; }
unshare -m --propagation private sh -c \
  'mount --bind "$1" /tmp && exec node "$2/serve.test.mjs" "$3"' sh "$src" "$here" "$1"
