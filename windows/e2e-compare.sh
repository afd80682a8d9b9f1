#!/bin/sh
# Compares two usbcam batch outputs request by request: each request's
# answer is the line pair "status=... information=..." and "out=...".
# Prints each differing request (its batch line) with both answers.
# Usage: e2e-compare.sh BATCH HOST_OUTPUT WINE_OUTPUT
set -eu
batch=$1 host=$2 wine=$3
awk -v batch="$batch" -v hostf="$host" -v winef="$wine" '
  function requests(file, arr,   n, line) {
    n = 0
    while ((getline line < file) > 0) {
      if (line ~ /^status=/) { arr[++n] = line }
      else if (line ~ /^out=/ && n > 0) { arr[n] = arr[n] "\n" line }
    }
    close(file)
    return n
  }
  BEGIN {
    m = 0
    while ((getline line < batch) > 0) {
      if (line ~ /^[ \t]*(#|$)/) continue
      if (line ~ /^[ \t]*raw /) lines[++m] = line
    }
    nh = requests(hostf, h); nw = requests(winef, w)
    bad = 0
    n = nh > nw ? nh : nw
    for (i = 1; i <= n; ++i) {
      if (h[i] == w[i]) continue
      printf "request %d: %s\n  host: %s\n  wine: %s\n", i, lines[i], \
        (i in h ? h[i] : "(no answer)"), (i in w ? w[i] : "(no answer)") > "/dev/stderr"
      if (++bad >= 20) break
    }
    exit bad != 0
  }'
