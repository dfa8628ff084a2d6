# Package steps of the bootstrap that survive a package mirror caught mid-sync. Sourced, not run.
#
# A mirror that is being synced serves one suite's index with the wrong size for a while (often
# only one architecture's). `apt-get update` then fails as a whole, although every other list is
# fresh; and an install afterwards may not resolve, because the two architectures of a multi-arch
# library see different versions of it (one from the suite whose index failed, one without it).
# Hence: update is retried and a partial failure is only a warning while package lists exist, and
# an install that fails is tried once more with the suites whose index failed pinned down, so both
# architectures resolve to versions of the same suites.
#
# Knobs (for the tests): MINISTUB_APT_TRIES, MINISTUB_APT_PAUSE (seconds), MINISTUB_APT_LISTS.

apt_tries=${MINISTUB_APT_TRIES:-3}
apt_pause=${MINISTUB_APT_PAUSE:-5}
apt_lists=${MINISTUB_APT_LISTS:-/var/lib/apt/lists}
# Suites whose index could not be fetched by the last update, one per line.
apt_failed_suites=""

# Suites named in apt's "Failed to fetch .../dists/<suite>/..." lines of the given output file.
apt_suites_failed_in() {
  grep -F 'Failed to fetch' "$1" 2>/dev/null | sed -n -e 's|.*/dists/\([^/ ]*\)/.*|\1|p' | sort -u
}

apt_have_lists() {
  compgen -G "$apt_lists/*_Packages*" >/dev/null 2>&1
}

apt_update_with_retry() {
  local out try=1
  out=$(mktemp)
  while :; do
    if apt-get update -qq >"$out" 2>&1; then
      apt_failed_suites=""
      rm -f "$out"
      return 0
    fi
    apt_failed_suites=$(apt_suites_failed_in "$out")
    [ "$try" -ge "$apt_tries" ] && break
    echo "bootstrap: apt-get update failed (try $try of $apt_tries), retrying in ${apt_pause}s" >&2
    sleep "$apt_pause"
    try=$((try + 1))
  done
  if apt_have_lists; then
    echo "bootstrap: warning: apt-get update failed for some indexes after $apt_tries tries;" \
         "going on with the package lists there are (failed: ${apt_failed_suites:-unknown})" >&2
    grep -E 'Failed|E:' "$out" | sed -n -e 's/^/bootstrap:   /' -e 1,5p >&2 || true
    rm -f "$out"
    return 0
  fi
  echo "bootstrap: apt-get update failed and there are no package lists to go on with:" >&2
  sed -e 's/^/bootstrap:   /' "$out" >&2
  rm -f "$out"
  return 1
}

# Writes an apt preferences file that lowers each failed suite to priority 100 (matched both as a
# code name and as an archive name, since sources may name a suite either way).
apt_write_pin() {
  local file=$1 suite
  : >"$file"
  for suite in $apt_failed_suites; do
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n\n' "$suite" >>"$file"
    printf 'Package: *\nPin: release a=%s\nPin-Priority: 100\n\n' "$suite" >>"$file"
  done
}

apt_install_with_pin() {
  local out pin rc
  out=$(mktemp)
  if apt-get install -y -qq --no-install-recommends "$@" >"$out" 2>&1; then
    rm -f "$out"
    return 0
  fi
  if [ -n "$apt_failed_suites" ]; then
    pin=$(mktemp)
    apt_write_pin "$pin"
    echo "bootstrap: install failed; retrying with $(echo $apt_failed_suites) pinned down" \
         "(its index could not be fetched)" >&2
    rc=0
    apt-get -o Dir::Etc::Preferences="$pin" install -y -qq --no-install-recommends "$@" \
      >"$out" 2>&1 || rc=$?
    rm -f "$pin"
    if [ "$rc" = 0 ]; then
      rm -f "$out"
      return 0
    fi
  fi
  sed -e 's/^/bootstrap:   /' "$out" | tail -n 15 >&2
  rm -f "$out"
  echo "bootstrap: could not install: $*" >&2
  echo "bootstrap: the package mirror may be mid-sync or unreachable; run 'apt-get update' and" \
       "try again in a few minutes, or point /etc/apt sources at another mirror" >&2
  return 1
}

# Runs a command (an `apt-get source` download) up to the set number of tries.
apt_retry() {
  local try=1
  while :; do
    "$@" && return 0
    [ "$try" -ge "$apt_tries" ] && break
    echo "bootstrap: '$*' failed (try $try of $apt_tries), retrying in ${apt_pause}s" >&2
    sleep "$apt_pause"
    try=$((try + 1))
  done
  echo "bootstrap: '$*' failed $apt_tries times" >&2
  return 1
}
