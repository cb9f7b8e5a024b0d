#!/usr/bin/env bash
# Prints the Debian archive this machine's apt uses, for debootstrap:
# $DEBIAN_MIRROR if set, else the first URI of an enabled `deb` entry for the
# main suite (not -security, -updates or -backports) in
# /etc/apt/sources.list.d/*.sources (deb822), /etc/apt/sources.list.d/*.list
# or /etc/apt/sources.list.  No archive is written into the repository: the
# machine's configuration decides.
#   scripts/debian-mirror.sh     (exit status 1 and a message if none is found)
# Environment:
#   DEBIAN_MIRROR  the archive to use, as is
#   APT_ETC        apt's configuration directory (default /etc/apt)
set -euo pipefail
if [ -n "${DEBIAN_MIRROR:-}" ]; then
  printf '%s\n' "$DEBIAN_MIRROR"
  exit 0
fi
etc=${APT_ETC:-/etc/apt}

# A suite is the main one when it has no -security/-updates/-backports part
# (nor the old "suite/updates" form of the security archive).
main_suite='^[A-Za-z0-9.]+$'

uri=""
shopt -s nullglob
for f in "$etc"/sources.list.d/*.sources; do
  # deb822: paragraphs separated by blank lines; comments start with '#'.
  uri=$(awk -v main="$main_suite" '
    function flush() {
      if (!found && types ~ /(^| )deb( |$)/ && enabled !~ /^(no|false|0)$/ && uris != "") {
        n = split(suites, s, " ")
        for (i = 1; i <= n; i++) if (s[i] ~ main) { split(uris, u, " "); print u[1]; found = 1; exit }
      }
      types = suites = uris = enabled = ""
    }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { flush(); next }
    {
      key = tolower($0); sub(/:.*/, "", key)
      value = $0; sub(/^[^:]*:[ \t]*/, "", value); sub(/[ \t]+$/, "", value)
      if (key == "types") types = value
      else if (key == "uris") uris = value
      else if (key == "suites") suites = value
      else if (key == "enabled") enabled = tolower(value)
    }
    END { flush() }' "$f")
  [ -z "$uri" ] || break
done
if [ -z "$uri" ]; then
  for f in "$etc"/sources.list.d/*.list "$etc/sources.list"; do
    [ -r "$f" ] || continue
    # deb [options] URI suite component...
    uri=$(awk -v main="$main_suite" '
      $1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) ~ main) { print $i; exit }
      }' "$f")
    [ -z "$uri" ] || break
  done
fi
if [ -z "$uri" ]; then
  echo "$0: no Debian archive in $etc's sources; set DEBIAN_MIRROR" >&2
  exit 1
fi
printf '%s\n' "${uri%/}"
