#!/usr/bin/env bash
# Installs everything MiniStub needs on a Debian 12 machine: cross compilers, build tools, Wine,
# Xvfb, GoogleTest sources, 7-Zip (the tool and its sources), signing tools.
# Idempotent, non-interactive, run as root. Safe to call before every build.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
export DEBIAN_FRONTEND=noninteractive
. "$here/apt-steps.sh"

packages=(
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 mingw-w64-tools
  cmake ninja-build make dpkg-dev
  wine wine32:i386 wine64 xvfb xauth
  googletest 7zip osslsigncode openssl
  python3 procps
  afl++ zzuf nlohmann-json3-dev
)

missing=()
need_i386=0
# Answers are taken whole before they are matched: under pipefail a reader that stops at its first
# match could fail the writer.
[[ $'\n'"$(dpkg --print-foreign-architectures)"$'\n' == *$'\n'i386$'\n'* ]] || need_i386=1
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" = 'install ok installed' ] || missing+=("$p")
done

# Source lines for `apt-get source`, derived from the machine's own deb lines (no host is named here).
src_list=/etc/apt/sources.list.d/ministub-src.sources
need_src=0
if [ ! -f "$src_list" ]; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -e 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$src_list"
  elif [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed -e 's/^deb /deb-src /' > /etc/apt/sources.list.d/ministub-src.list
    src_list=/etc/apt/sources.list.d/ministub-src.list
  fi
  need_src=1
fi

if [ "$need_i386" = 1 ]; then
  dpkg --add-architecture i386
fi
if [ "$need_i386" = 1 ] || [ "$need_src" = 1 ] || [ ${#missing[@]} -gt 0 ]; then
  apt_update_with_retry
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  apt_install_with_pin "${missing[@]}"
fi

# 7-Zip's sources: the 7z decoder is built from them (never committed).
deps="$root/.deps"
mkdir -p "$deps"
if ! ls -d "$deps"/7zip-*/CPP/7zip >/dev/null 2>&1; then
  tmp=$(mktemp -d)
  (cd "$tmp" && apt_retry apt-get source -qq --download-only 7zip >/dev/null && dpkg-source -x --no-check ./7zip_*.dsc >/dev/null)
  src=$(find "$tmp" -maxdepth 1 -mindepth 1 -type d -name '7zip-*' -print -quit)
  [ -n "$src" ] || { echo "bootstrap: 7-Zip source unpack failed" >&2; exit 1; }
  rm -rf "$deps/$(basename "$src")"
  mv "$src" "$deps/"
  rm -rf "$tmp"
fi

echo "bootstrap: ready"
