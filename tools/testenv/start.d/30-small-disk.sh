#!/bin/bash
# A small disk for the disk-full tests: a tmpfs mounted in the build tree and
# mapped into the Wine prefix as drive S:. Where mounting is not allowed (no
# privilege in this container) the reason is written down and the tests that
# need the drive skip with it.
set -uo pipefail
build=$(cd "${1:?usage: 30-small-disk.sh BUILD_DIR}" && pwd)
env_dir="$build/testenv"
mount_point="$env_dir/small-disk"
reason="$env_dir/small-disk.unavailable"
drive="$env_dir/wineprefix/dosdevices/s:"
size_mib=850

rm -f "$reason"
mkdir -p "$mount_point"
if ! mountpoint -q "$mount_point"; then
  if ! error=$(mount -t tmpfs -o "size=${size_mib}m,mode=0755" orvo-small-disk "$mount_point" 2>&1); then
    echo "a ${size_mib} MiB tmpfs cannot be mounted here: $error" >"$reason"
    exit 0
  fi
fi
# The drive maps a directory inside the mount: Wine reports a mount point
# itself as a reparse point, which the installer rightly refuses.
mkdir -p "$mount_point/drive"
ln -sfn "$mount_point/drive" "$drive"
