#!/usr/bin/env bash
# Whole-process campaign: mutated copies of a real signed installer, each run by the real stub
# under Wine, alternately in test mode (/qn /TEST) and as a quiet install (/qn /NOREBOOT):
#   bash fuzz/hostile_installers.sh [COUNT] [JOBS]        (default: 1000 installers, 2 jobs)
# Mutations (zzuf, one region per installer): the package header and index, the start and the
# end of a 7z entry (its signature header and its headers), an entry's packed data, the settings
# block, and truncations anywhere in the package. Every run must end by itself within 15 s with
# a result code, never an exception code; nothing may be written outside the install cache, the
# temp folders, the logs, the test-mode folders and the product's own folder; and after every
# batch a good installer must install again (no lock left behind). The product's install cache is
# removed before every run, so that each install extracts the mutated package. Findings are kept in
# $build/hostile-findings/. Exit status 1 when anything was found.
# MINISTUB_FUZZ_BUILD names the build tree (default: the one this machine runs, built here).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
count=${1:-1000}
jobs=${2:-2}
batch=${HOSTILE_BATCH:-100}
. "$root/scripts/wine-env.sh"
build=${MINISTUB_FUZZ_BUILD:-}
if [ -z "$build" ]; then
  toolchain=i686 build=$root/build
  [ "$MINISTUB_WINE64_ONLY" = 1 ] && toolchain=x86_64 build=$root/build-x64
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$toolchain.cmake" >/dev/null
  cmake --build "$build" --target MiniStub ministub-build sample_engine installui HostileRunner >/dev/null
fi
work=$build/hostile
findings=$build/hostile-findings
rm -rf "$work"
mkdir -p "$work/base" "$findings"
winpath() { printf 'Z:%s' "$(echo "$1" | tr / \\\\)"; }
runin() { local p=$1; shift; "$root/scripts/wine-run.sh" --prefix "$p" "$@"; }
builder=$build/tools/ministub-build/ministub-build.exe

# The good installer: the sample product, signed, settings behind the signature (base 0) and
# inside it (base 1).
make=$work/base
mkdir -p "$make/ui" "$make/install/InstallPackage"
cp "$build/samples/installui/InstUI.dll" "$make/ui/"
mkdir -p "$make/ui/09/01" && cp "$build/samples/installui/09/01/InsMUI.loc" "$make/ui/09/01/"
cp "$build/samples/engine/engine.dll" "$make/install/InstallPackage/"
sed 's/Velmor Sample Product/Velmor Hostile Product/g' "$root/samples/product/Install.mft" \
  > "$make/install/InstallPackage/Install.mft"
cp -r "$root/samples/product/files" "$make/install/InstallPackage/"
(cd "$make/ui" && 7zz a -t7z ../ui.7z . >/dev/null)
(cd "$make/install" && 7zz a -t7z ../install.7z . >/dev/null)
silo="{5D1E7A00-0DE1-4C0D-9E11-F0220000BAD0}"
printf '0 = wstring:HOSTILE\n1 = dword:1\n2 = dword:0\n3 = dword:0\n4 = dword:0\n9 = wstring:%s\n18 = wstring:Software\\\\Korvanta\\\\Isolation\n' \
  "$silo" > "$make/settings.txt"
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=MiniStub Hostile" -days 1 \
  -keyout "$make/key.pem" -out "$make/cert.pem" >/dev/null 2>&1
osslsigncode sign -certs "$make/cert.pem" -key "$make/key.pem" -n hostile -in "$build/stub/MiniStub.exe" \
  -out "$make/stub.exe" >/dev/null
prefix0=$work/prefix0
runin "$prefix0" "$builder" pack --stub "$(winpath "$make/stub.exe")" \
  --ui-package "$(winpath "$make/ui.7z")=QDX-TRRootuiPackage.7z" \
  --install-package "$(winpath "$make/install.7z")=QDX-TRRootInstallPackage.7z" \
  --out "$(winpath "$make/unsigned.exe")" >/dev/null
osslsigncode sign -certs "$make/cert.pem" -key "$make/key.pem" -n hostile -in "$make/unsigned.exe" \
  -out "$make/signed.exe" >/dev/null
for i in 0 1; do
  placement=table
  [ "$i" = 1 ] && placement=signature
  cp "$make/signed.exe" "$work/good$i.exe"
  runin "$prefix0" "$builder" settings "$(winpath "$work/good$i.exe")" --from "$(winpath "$make/settings.txt")" \
    --placement "$placement" >/dev/null
  runin "$prefix0" "$builder" inspect "$(winpath "$work/good$i.exe")" --json | tr -d '\r' > "$work/good$i.json"
done

# Regions of each base, from the builder's own view of it.
python3 - "$work" <<'PY'
import json, sys
work = sys.argv[1]
for i in (0, 1):
    info = json.load(open(f"{work}/good{i}.json"))
    pkg = info["package"]
    regions = []
    start = pkg["offset"]
    first = min(e["offset"] for e in pkg["entries"])
    regions.append(("index", start, first - 1))
    for e in pkg["entries"]:
        a, n = e["offset"], e["size"]
        regions.append(("entry-head", a, a + min(n, 64) - 1))
        regions.append(("entry-tail", a + max(n - 512, 0), a + n - 1))
        regions.append(("entry-data", a, a + n - 1))
    cert = info["certificateTable"]
    if info.get("placement") == "table" and info["block"]["position"] is not None:
        b = info["block"]
        regions.append(("settings", b["position"], b["position"] + b["length"] - 1))
    else:
        regions.append(("settings", cert["offset"], cert["offset"] + cert["size"] - 1))
    regions.append(("truncate", start, info["fileLength"]))
    with open(f"{work}/regions{i}.txt", "w") as f:
        for r in regions:
            f.write("%s %d %d\n" % r)
PY

prefix_of() { echo "$work/prefix$1"; }
drive_of() { echo "$(prefix_of "$1")/drive_c"; }
# The good installer installs in each job's prefix first: every later good run must too.
good_run() {
  local j=$1 out
  out=$(runin "$(prefix_of "$j")" "$build/tests/fixtures/RunExit.exe" "$(winpath "$work/good0.exe")" /qn /NOREBOOT \
    /SHOWERRORS 0 2>/dev/null | tr -d '\r')
  [ "$out" = "exitcode=0x00000000" ] || { echo "job $j: the good installer failed after a batch: $out"; return 1; }
}

# One job: its own prefix (the stub guards against concurrent runs machine-wide), its share of the
# installers in batches.
job() {
  local j=$1 from=$2 to=$3
  local prefix drive status=0
  prefix=$(prefix_of "$j")
  drive=$(drive_of "$j")
  good_run "$j" || return 1
  local cache_root
  cache_root=$(cd "$drive" && find . -maxdepth 3 -type d -path "*/VelmorInstaller/$silo" -print -quit)
  [ -n "$cache_root" ] || { echo "job $j: no install cache after the good run"; return 1; }
  cache_root="C:${cache_root#.}"
  cache_root=${cache_root//\//\\}
  local n=$from
  while [ "$n" -lt "$to" ]; do
    local end=$((n + batch)); [ "$end" -le "$to" ] || end=$to
    local dir=$work/job$j
    rm -rf "$dir"; mkdir -p "$dir"
    python3 - "$work" "$dir" "$n" "$end" <<'PY'
import os, random, subprocess, sys
work, out, first, end = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
regions = [[l.split() for l in open(f"{work}/regions{i}.txt")] for i in (0, 1)]
with open(f"{out}/list.txt", "w") as lst, open(f"{out}/what.txt", "w") as what:
    for n in range(first, end):
        rnd = random.Random(n)
        base = n % 2 if n % 10 else 1 - n % 2
        kind, a, b = rnd.choice(regions[base])
        a, b = int(a), int(b)
        src = f"{work}/good{base}.exe"
        dst = f"{out}/m{n}.exe"
        if kind == "truncate":
            data = open(src, "rb").read()
            open(dst, "wb").write(data[:rnd.randint(a, b - 1)])
            desc = f"{n} base{base} truncate"
        else:
            ratio = rnd.choice(["0.0005", "0.002", "0.01", "0.05"])
            with open(src, "rb") as i, open(dst, "wb") as o:
                subprocess.run(["zzuf", "-s", str(n), "-r", ratio, "-b", f"{a}-{b}"], stdin=i, stdout=o, check=True)
            desc = f"{n} base{base} {kind} {a}-{b} zzuf -s {n} -r {ratio}"
        win = "Z:" + dst.replace("/", "\\")
        if n % 2 == 0:
            cmd = f'"{win}" /qn /TEST "C:\\hostile-test\\t{n}" /TESTMODE 1 /SHOWERRORS 0'
        else:
            cmd = f'"{win}" /qn /NOREBOOT /SHOWERRORS 0'
        lst.write(cmd + "\n")
        what.write(f"{desc} | {cmd}\n")
PY
    touch "$dir/marker"
    sleep 1
    runin "$prefix" "$build/fuzz/HostileRunner.exe" "$(winpath "$dir/list.txt")" "$(winpath "$dir/results.txt")" 15000 \
      "$cache_root" >/dev/null 2>&1 || true
    # Every line: a result code, ended by itself.
    paste -d' ' "$dir/results.txt" <(cut -d'|' -f1 "$dir/what.txt") >> "$work/results-all.txt"
    local bad
    bad=$(awk '$4 != "ended" || $2 ~ /^0x(C|4000001|80000003|00000003$)/ || $2 == "start-failed"' "$dir/results.txt" || true)
    # Nothing written outside the places the stub and the product may write.
    local outside
    outside=$(cd "$drive" && find . -newer "$dir/marker" -type f \
      ! -path './Program Files/VelmorInstaller/*' ! -path './Program Files (x86)/VelmorInstaller/*' \
      ! -path './ProgramData/VelmorInstaller/*' ! -path './hostile-test/*' ! -path './users/*/Temp/*' \
      ! -path './windows/temp/*' ! -path './Program Files/Velmor Hostile Product/*' \
      ! -path './Program Files (x86)/Velmor Hostile Product/*' ! -path './users/*/AppData/Roaming/Microsoft/Windows/Start Menu/*' \
      2>/dev/null | sed -n 1,20p || true)
    if [ -n "$bad" ] || [ -n "$outside" ]; then
      status=1
      mkdir -p "$findings/batch$n"
      cp "$dir/what.txt" "$dir/results.txt" "$findings/batch$n/"
      [ -n "$bad" ] && { echo "job $j batch $n: runs that crashed or did not end:"; echo "$bad" | sed -n 1,10p; }
      [ -n "$outside" ] && { echo "job $j batch $n: written outside:"; echo "$outside"; }
      echo "$bad" | awk '{print $1}' | while read -r line; do
        [ -n "$line" ] && cp "$dir/m$((n + line - 1)).exe" "$findings/batch$n/" 2>/dev/null || true
      done
    fi
    good_run "$j" || status=1
    rm -rf "$dir" "$drive/hostile-test"
    echo "job $j: $end of $to"
    n=$end
  done
  return $status
}

: > "$work/results-all.txt"
pids=()
per=$(( (count + jobs - 1) / jobs ))
for ((j = 1; j <= jobs; ++j)); do
  from=$(( (j - 1) * per )); to=$(( j * per )); [ "$to" -le "$count" ] || to=$count
  job "$j" "$from" "$to" > "$work/job$j.log" 2>&1 &
  pids+=($!)
done
status=0
for p in "${pids[@]}"; do wait "$p" || status=1; done
cat "$work"/job*.log | grep -v ': [0-9]* of [0-9]*$' || true
for ((j = 1; j <= jobs; ++j)); do runin "$(prefix_of "$j")" --stop; done

echo "== $(wc -l < "$work/results-all.txt") installers run; exit codes (count, code):"
awk '{print $2}' "$work/results-all.txt" | sort | uniq -c | sort -rn | sed -n 1,20p
echo "== by region (count, region, ended by itself):"
awk '{ r = $7; if ($7 == "truncate") r = "truncate"; k[r]++; if ($4 == "ended") e[r]++ } END { for (r in k) printf "  %-11s %6d %6d\n", r, k[r], e[r] }' \
  "$work/results-all.txt"
echo "== slowest runs (ms): $(awk '{print $3}' "$work/results-all.txt" | sort -n | tail -3 | tr '\n' ' ')"
[ "$status" = 0 ] && echo "no findings" || echo "findings kept in $findings"
exit $status
