#!/bin/sh
# Compares two usbcam batch outputs request by request: each request's
# answer is the line pair "status=... information=..." and "out=...".
# Prints each differing request (its batch line) with both answers.
# A batch line "#e2e-mask OFFSET:LENGTH[,OFFSET:LENGTH...] reason" masks
# those bytes of the next request's output in both answers first: for values
# that are not the driver's to choose (the bus driver's handles, the bus's
# frame counter). A line "#e2e-error-count reason" before a request that
# fails drops the byte count from its comparison: for a request that fails
# without being left pending, Windows does not write the caller's
# IO_STATUS_BLOCK (Wine neither), while the host emulation reports the
# driver's Information. A line "#e2e-status-only reason" compares only the
# next request's status (a stream read, whose byte count and bytes depend on
# how long the stream has run). Several #e2e-mask lines before one request
# add up. A line "#e2e-bus-status STATUS reason" says that the second bus
# answers the next request with STATUS (0xC0000001) where the first answers
# otherwise, a documented difference of that bus (the libusb bus cannot read
# the frame counter): the request passes when the second answer carries
# exactly that status, whatever its byte count and bytes, and fails otherwise.
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
  function xs(n,   s) {
    s = "x"
    while (length(s) < n) s = s s
    return substr(s, 1, n)
  }
  function masked(answer, ranges,   pieces, n, i, r, head, out, from, count) {
    n = split(ranges, pieces, ",")
    head = substr(answer, 1, index(answer, "out=") + 3)
    out = substr(answer, length(head) + 1)
    for (i = 1; i <= n; ++i) {
      split(pieces[i], r, ":")
      from = r[1] * 2; count = r[2] * 2
      if (from >= length(out)) continue
      if (from + count > length(out)) count = length(out) - from
      out = substr(out, 1, from) xs(count) substr(out, from + count + 1)
    }
    return head out
  }
  BEGIN {
    m = 0
    pending = ""
    while ((getline line < batch) > 0) {
      if (line ~ /^#e2e-mask /) { split(line, f, " "); pending = pending (pending == "" ? "" : ",") f[2]; continue }
      if (line ~ /^#e2e-bus-status /) { split(line, f, " "); busstatus = f[2]; continue }
      if (line ~ /^#e2e-error-count /) { errcount = 1; continue }
      if (line ~ /^#e2e-status-only /) { statusonly = 1; continue }
      if (line ~ /^[ \t]*(#|$)/) continue
      if (line ~ /^[ \t]*raw /) { lines[++m] = line; mask[m] = pending; pending = ""; nocount[m] = errcount; errcount = 0; only[m] = statusonly; statusonly = 0; other[m] = busstatus; busstatus = "" }
    }
    nh = requests(hostf, h); nw = requests(winef, w)
    bad = 0
    n = nh > nw ? nh : nw
    for (i = 1; i <= n; ++i) {
      if (!(i in h)) h[i] = "(no answer)"
      if (!(i in w)) w[i] = "(no answer)"
      if (mask[i] != "" && h[i] != "(no answer)" && w[i] != "(no answer)") { h[i] = masked(h[i], mask[i]); w[i] = masked(w[i], mask[i]) }
      if (nocount[i] && (i in h) && (i in w) && h[i] ~ /^status=0xC/) {
        sub(/information=[0-9]+/, "information=(failed)", h[i]); sub(/information=[0-9]+/, "information=(failed)", w[i])
      }
      if (only[i] && h[i] != "(no answer)" && w[i] != "(no answer)") {
        sub(/ information=.*/, " (status only)", h[i]); sub(/ information=.*/, " (status only)", w[i])
      }
      if (other[i] != "" && w[i] != "(no answer)") {
        if (index(w[i], "status=" other[i] " ") == 1) continue
        h[i] = "status=" other[i] " expected of this bus (#e2e-bus-status)"
      }
      if (h[i] == w[i]) continue
      printf "request %d: %s\n  host: %s\n  wine: %s\n", i, lines[i], \
        h[i], w[i] > "/dev/stderr"
      if (++bad >= 20) break
    }
    exit bad != 0
  }'
