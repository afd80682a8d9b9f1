#!/bin/sh
# Checks windows/e2e-compare.sh: equal answers pass; a different status, byte
# count or output byte, or a missing answer, fails and names the request;
# masks hide exactly the bytes they name; a failed request's byte count is
# dropped only where the batch says so.
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

[ "$failures" = 0 ] && echo "e2e-compare: all cases hold"
exit $(( failures != 0 ))
