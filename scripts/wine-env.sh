# Sourced by the Wine scripts: the quiet, reproducible environment every Wine process here runs in.
# Expects WINEPREFIX to be set by the caller.
export WINEARCH=win64
# MINISTUB_WINEDEBUG turns Wine channels on where wanted (the fuzz runs check the heap).
export WINEDEBUG=${MINISTUB_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Wine's WinHTTP default proxy honours these even for 127.0.0.1.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY

# Some kernels run 64-bit user code only: Wine's 32-bit loader then fails with "Exec format
# error". Every Wine process of ours then goes through the 64-bit loader, which runs the 64-bit
# build of the same code (32-bit programs cannot start there at all).
if [ -z "${MINISTUB_WINE64_ONLY:-}" ]; then
  MINISTUB_WINE64_ONLY=0
  /usr/lib/wine/wine --version >/dev/null 2>&1 || MINISTUB_WINE64_ONLY=1
  export MINISTUB_WINE64_ONLY
fi
if [ "$MINISTUB_WINE64_ONLY" = 1 ]; then
  export WINELOADER=/usr/lib/wine/wine64
  PATH="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine64-only:$PATH"
fi
