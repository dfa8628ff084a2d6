# Sourced by the Wine scripts: the quiet, reproducible environment every Wine process here runs in.
# Expects WINEPREFIX to be set by the caller.
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Wine's WinHTTP default proxy honours these even for 127.0.0.1.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
