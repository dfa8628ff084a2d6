#!/usr/bin/env bash
# Links planted by another user, made on the Unix side (Wine 8 cannot make them itself), then
# the link tests run under Wine against them.
#   hostile_links.sh WINE_RUNNER PREFIX LINK_TESTS_EXE WORK_DIR
set -euo pipefail
runner=$1 prefix=$2 tests=$3 work_root=$4

mkdir -p "$work_root"
work=$(mktemp -d "$work_root/links.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/elsewhere" "$work/logs" "$work/base" "$work/admin/VelmorInstaller" "$work/drive/Logs" "$work/open"
chmod 0777 "$work/base" "$work/open"                                 # where everybody may create
printf 'victim' > "$work/elsewhere/victim.log"
printf 'victim' > "$work/elsewhere/victim.mft"
ln -s "$work/elsewhere/victim.log" "$work/logs/Trace.log"           # a file link in place of a log
ln -s "$work/elsewhere/victim.mft" "$work/logs/Install.2.mft"       # ... of the next manifest
ln -s "$work/elsewhere" "$work/logs/redirected"                      # a folder link on the way to one
ln -s "$work/elsewhere" "$work/base/VelmorInstaller"                 # a link where an own folder goes
ln -s "$work/drive/Logs" "$work/admin/VelmorInstaller/Logs"          # an administrator's, to another drive
ln -s "$work/open" "$work/admin/VelmorInstaller/Open"                # to a folder everybody may change
ln -s "$prefix/drive_c/windows/system32" "$work/to-system"           # a name that leads to the system
mkdir -p "$work/grant"
printf 'victim' > "$work/elsewhere/readonly.txt"
chmod 0444 "$work/elsewhere/readonly.txt"
ln "$work/elsewhere/readonly.txt" "$work/grant/hard.txt"            # a second name inside a tree to delete

MINISTUB_LINKS="Z:${work//\//\\}" "$runner" --prefix "$prefix" "$tests"
