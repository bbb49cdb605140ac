#!/usr/bin/env bash
# Counts the calls to the software division routines (__aeabi_uidivmod and
# the like; the 32-bit ARM core has no divide instruction) in the delivery
# path of a 32-bit ARM libmssp: in the bodies of GetFrame and ReleaseFrame,
# and in every function of the library that they reach (calls and tail
# calls, followed through the library and its own PLT entries; calls out of
# it, such as printf, are not followed).
#   bash scripts/count-divisions.sh LIBMSSP.so [--check]
# Prints "divisions_direct=N" and "divisions_reachable=M" and the functions
# that hold them; with --check it fails when either is not 0.
set -euo pipefail
lib=${1:?usage: count-divisions.sh LIBMSSP.so [--check]}
check=${2:-}
objdump=${MSSP_OBJDUMP:-arm-linux-gnueabihf-objdump}

"$objdump" -d --no-show-raw-insn -C "$lib" | awk '
  function base(name) { sub(/\+0x[0-9a-f]+$/, "", name); sub(/@plt$/, "", name); return name }
  function isdiv(name) { return name ~ /^(__aeabi_u?idiv(mod)?|__aeabi_u?ldivmod|__u?divsi3|__u?modsi3|__u?divdi3|__u?moddi3|__udivmoddi4)$/ }
  function isroot(name) { return name ~ /^CMultiStreamSyncParser::(GetFrame|ReleaseFrame)\(/ }
  /^[0-9a-f]+ <.*>:$/ {
    fn = $0; sub(/^[0-9a-f]+ </, "", fn); sub(/>:$/, "", fn)
    fn = base(fn); sub(/ \[clone [^]]*\]$/, "", fn)
    defined[fn] = 1
    next
  }
  fn != "" && /\t(bl|blx|b|b[a-z][a-z])\t[0-9a-f]+ </ {
    t = $0; sub(/^.*</, "", t); sub(/>.*$/, "", t)
    t = base(t); sub(/ \[clone [^]]*\]$/, "", t)
    if (isdiv(t)) { divs[fn]++; next }
    # Through the PLT too: the library calls its own exported functions there.
    if (t != fn) edges[fn] = edges[fn] SUBSEP t
  }
  END {
    for (f in defined) if (isroot(f)) { queue[++n] = f; seen[f] = 1 }
    if (n == 0) { print "count-divisions: GetFrame/ReleaseFrame not found" > "/dev/stderr"; exit 2 }
    for (i = 1; i <= n; i++) {
      f = queue[i]
      if (isroot(f)) direct += divs[f]
      reach += divs[f]
      if (divs[f] > 0) printf "  %d in %s\n", divs[f], f
      k = split(edges[f], to, SUBSEP)
      for (j = 2; j <= k; j++) if (!(to[j] in seen) && (to[j] in defined)) { seen[to[j]] = 1; queue[++n] = to[j] }
    }
    printf "divisions_direct=%d\ndivisions_reachable=%d\nfunctions_reached=%d\n", direct, reach, n
  }' >"${TMPDIR:-/tmp}/count-divisions.$$"
out=$(cat "${TMPDIR:-/tmp}/count-divisions.$$")
rm -f "${TMPDIR:-/tmp}/count-divisions.$$"
echo "$out"
if [ "$check" = --check ]; then
  direct=$(sed -n 's/^divisions_direct=//p' <<<"$out")
  reach=$(sed -n 's/^divisions_reachable=//p' <<<"$out")
  if [ "$direct" != 0 ] || [ "$reach" != 0 ]; then
    echo "count-divisions: the delivery path calls the division routines" >&2
    exit 1
  fi
fi
