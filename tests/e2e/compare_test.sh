#!/bin/sh
# Checks windows/e2e-compare.sh: equal answers pass; a different status, byte
# count or output byte, or a missing answer, fails and names the request;
# masks hide exactly the bytes they name; a failed request's byte count is
# dropped only where the batch says so; masks before one request add up; a
# request a bus answers with a documented status of its own passes with
# exactly that status only.
# Usage: compare_test.sh PATH/e2e-compare.sh
set -u
compare=$1
dir=$(mktemp -d /tmp/e2e-compare-test.XXXXXX)
trap 'rm -rf "$dir"' EXIT
failures=0

cat >"$dir/batch" <<'B'
# a comment
raw NOP
#e2e-mask 1:2 middle bytes are the bus's
raw GET_INTERFACE_INFO --out-len 4
#e2e-error-count the host reports the driver's count
raw WRITE_PIPE_LARGE --in 00000000 --out-len 2
raw VENDOR_REQUEST --in 00 --out-len 2
#e2e-status-only a stream read
raw READ_STREAM --in 00 --out-len 2
B
answers() {  # NOP, interface info, failed write, vendor
  printf 'status=0x00000000 information=0\nout=\nstatus=0x00000000 information=4\nout=%s\n' "$1"
  printf 'status=%s information=%s\nout=0000\nstatus=0x00000000 information=2\nout=%s\n' "$2" "$3" "$4"
  printf 'status=%s information=%s\nout=%s\n' "${5:-0x00000000}" "${6:-2}" "${7:-1234}"
}
expect() {  # name, wanted exit (0 or 1), text the report must hold, host, wine
  sh "$compare" "$dir/batch" "$4" "$5" 2>"$dir/report"
  rc=$?
  if [ "$rc" != "$2" ] || { [ -n "$3" ] && ! grep -q -F -- "$3" "$dir/report"; }; then
    echo "FAIL $1: exit $rc, report:"; cat "$dir/report"
    failures=$((failures + 1))
  fi
}

answers 11223344 0xC000000D 64 abcd >"$dir/host"
answers 11223344 0xC000000D 64 abcd >"$dir/same"
expect "equal answers" 0 "" "$dir/host" "$dir/same"
answers 11aabb44 0xC000000D 0 abcd >"$dir/masked"
expect "masked bytes and a failed request's count" 0 "" "$dir/host" "$dir/masked"
answers 21223344 0xC000000D 64 abcd >"$dir/unmasked"
expect "a byte outside the mask" 1 "request 2: raw GET_INTERFACE_INFO" "$dir/host" "$dir/unmasked"
answers 11223344 0xC0000001 64 abcd >"$dir/status"
expect "a different failure" 1 "request 3: raw WRITE_PIPE_LARGE" "$dir/host" "$dir/status"
answers 11223344 0x00000000 64 abcd >"$dir/host-ok"
answers 11223344 0x00000000 0 abcd >"$dir/count"
expect "a successful request's count" 1 "request 3" "$dir/host-ok" "$dir/count"
answers 11223344 0xC000000D 64 abce >"$dir/byte"
expect "an output byte" 1 "request 4: raw VENDOR_REQUEST" "$dir/host" "$dir/byte"
answers 11223344 0xC000000D 64 abcd 0x00000000 0 0000 >"$dir/stream"
expect "a status-only request's count and bytes" 0 "" "$dir/host" "$dir/stream"
answers 11223344 0xC000000D 64 abcd 0xC0000001 2 1234 >"$dir/stream-status"
expect "a status-only request's status" 1 "request 5: raw READ_STREAM" "$dir/host" "$dir/stream-status"
head -n 6 "$dir/host" >"$dir/short"
expect "a missing answer" 1 "(no answer)" "$dir/host" "$dir/short"

# Two masks on one request (a batch's own and one a bus inserts), and a
# status the second bus gives instead of the first's answer.
cat >"$dir/batch2" <<'B'
#e2e-mask 0:1 the first byte is the bus's
#e2e-mask 3:1 so is the last on this bus
raw GET_INTERFACE_INFO --out-len 4
#e2e-mask 0:4 the bus's frame counter
#e2e-bus-status 0xC0000001 this bus cannot tell the frame
raw GET_FRAME_NUMBER --out-len 4
B
two() {  # interface info bytes, frame number answer (status count bytes)
  printf 'status=0x00000000 information=4\nout=%s\nstatus=%s information=%s\nout=%s\n' "$1" "$2" "$3" "$4"
}
expect2() {
  sh "$compare" "$dir/batch2" "$4" "$5" 2>"$dir/report"
  rc=$?
  if [ "$rc" != "$2" ] || { [ -n "$3" ] && ! grep -q -F -- "$3" "$dir/report"; }; then
    echo "FAIL $1: exit $rc, report:"; cat "$dir/report"
    failures=$((failures + 1))
  fi
}
two 11223344 0x00000000 4 0a000000 >"$dir/h2"
two aa2233bb 0xC0000001 0 00000000 >"$dir/w2"
expect2 "masks add up; the bus's own status" 0 "" "$dir/h2" "$dir/w2"
two aa22ffbb 0xC0000001 0 00000000 >"$dir/w2-byte"
expect2 "a byte outside both masks" 1 "request 1: raw GET_INTERFACE_INFO" "$dir/h2" "$dir/w2-byte"
two 11223344 0x00000000 4 0b000000 >"$dir/w2-same"
expect2 "the first bus's answer where the bus's own status is due" 1 "request 2: raw GET_FRAME_NUMBER" "$dir/h2" "$dir/w2-same"
two 11223344 0xC000000D 0 00000000 >"$dir/w2-other"
expect2 "another status than the bus's own" 1 "request 2" "$dir/h2" "$dir/w2-other"
head -n 2 "$dir/h2" >"$dir/w2-short"
expect2 "no answer where the bus's own status is due" 1 "(no answer)" "$dir/h2" "$dir/w2-short"

[ "$failures" = 0 ] && echo "e2e-compare: all cases hold"
exit $(( failures != 0 ))
