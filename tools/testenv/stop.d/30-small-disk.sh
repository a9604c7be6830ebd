#!/bin/bash
# Unmaps drive S: and unmounts the small disk of 30-small-disk.sh.
set -u
build=$(cd "${1:?usage: 30-small-disk.sh BUILD_DIR}" && pwd)
env_dir="$build/testenv"
rm -f "$env_dir/wineprefix/dosdevices/s:" "$env_dir/small-disk.unavailable"
if mountpoint -q "$env_dir/small-disk" 2>/dev/null; then
  umount "$env_dir/small-disk" 2>/dev/null || umount -l "$env_dir/small-disk"
fi
rmdir "$env_dir/small-disk" 2>/dev/null || true
