# usbcam.exe as a Windows user meets it, under Wine (sourced by
# windows/wine-e2e.sh, which sets up the prefix, the driver and the test bus
# and defines fail, wine_run and winpath):
#
# - list before the driver is installed, once it is installed with no camera,
#   and with the test bus's camera: three different answers;
# - a PNG captured by usbcam.exe (the Windows Imaging Component's encoder)
#   decoded on the host and compared pixel for pixel with the Linux usbcam's
#   PNG (libpng) of the same frame;
# - the help: no option of the emulation, and every command's example run
#   as printed, in cmd.exe;
# - the live view window on a virtual X server: screenshots show the test
#   pattern, the frame count rises between two of them, S saves the frame as
#   a PNG, and Ctrl-C closes it cleanly (the camera serves the next client at
#   once); a second view ends by closing its window (Alt+F4).

# A virtual X server for the run, on the first free display from :90 on
# (its pid in $xvfb_pid for the caller's cleanup).
start_xvfb() {
  command -v Xvfb >/dev/null 2>&1 || fail "Xvfb not installed (scripts/install-deps.sh wine)"
  n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do
    n=$((n + 1))
    [ "$n" -lt 190 ] || fail "no free X display between :90 and :189"
  done
  Xvfb ":$n" -screen 0 800x640x24 -nolisten tcp -br >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  tries=0
  until [ -e "/tmp/.X11-unix/X$n" ]; do
    tries=$((tries + 1))
    kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; fail "Xvfb :$n did not start"; }
    [ "$tries" -lt 100 ] || fail "Xvfb :$n did not start within 10 s"
    sleep 0.1
  done
  export DISPLAY=":$n"
}

# list's answer when no camera is there: $1 is what it must say.
expect_list() {
  wine_run "$bin/usbcam.exe" list 2>&1 | tr -d '\r' >"$work/list.out" || true
  grep -q -F "$1" "$work/list.out" || { cat "$work/list.out" >&2; fail "usbcam.exe list did not say: $1"; }
  printf 'wine-e2e: usbcam.exe list: %s\n' "$(head -n 1 "$work/list.out" | cut -c1-100)"
}

check_png_capture() {
  rm -f "$work/wine-frame.png" "$work"/host-frame*.png
  wine_run "$bin/usbcam.exe" capture -o "$(winpath "$work/wine-frame.png")" >"$work/capture.out" 2>&1 ||
    { tr -d '\r' <"$work/capture.out" >&2; fail "usbcam.exe capture -o frame.png failed"; }
  result=$(python3 "$root/tests/client/png_check.py" "$work/wine-frame.png" 640 480) ||
    fail "usbcam.exe's PNG: $result"
  counter=${result##* }
  # The host's camera numbers its frames from 0 in each session: frame
  # number $counter is the last of $counter + 1.
  [ "$counter" -lt 1000 ] || fail "usbcam.exe's frame has counter $counter"
  (cd "$work" && "$host_usbcam" capture --count $((counter + 1)) -o host-frame.png >/dev/null) ||
    fail "the host's capture failed"
  host_png=$work/host-frame.png
  [ "$counter" = 0 ] || host_png=$work/host-frame-$((counter + 1)).png
  same=$(python3 "$root/tests/client/png_check.py" "$work/wine-frame.png" --same-as "$host_png") ||
    fail "usbcam.exe's PNG and the host's differ: $same"
  echo "wine-e2e: usbcam.exe capture -o frame.png: frame $counter, $same pixels as the host's PNG of that frame"
}

# Every command's help, in one cmd.exe run; then every example in it, as
# printed, in another, each example after a selection of the default setting
# (on Windows the driver keeps a selection from one run to the next). Wine's
# cmd.exe runs the right side of || whatever the left one did: a failure is
# taken from the errorlevel.
check_help() {
  commands="list info load capture read write iso-read stream view select reset-pipe abort-pipe reset-port
feature vendor control string frame last-status timeout sleep demo batch raw"
  dir=$work/help
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$bin/usbcam.exe" "$dir/"
  {
    echo "@echo off"
    echo "usbcam --help"
    for c in $commands; do echo "echo ==== $c" && echo "usbcam $c --help"; done
  } | sed 's/$/\r/' >"$dir/usage.cmd"
  (cd "$dir" && wine_run cmd /c usage.cmd) 2>/dev/null | tr -d '\r' >"$dir/help.txt" ||
    fail "usbcam.exe --help failed"
  for option in --camera --function --trace --port "emulation line" "stall 0x82" "pnp remove" "printf"; do
    if grep -n -F -e "$option" "$dir/help.txt" >"$dir/found"; then
      cat "$dir/found" >&2
      fail "usbcam.exe's help offers '$option', which does not exist on Windows"
    fi
  done
  grep -q "Example:" "$dir/help.txt" || fail "usbcam.exe's help has no examples"
  # An option of the emulation, typed anyway, is refused saying why.
  if wine_run "$bin/usbcam.exe" --trace bus.pcap list >"$dir/trace.out" 2>&1 ||
    ! tr -d '\r' <"$dir/trace.out" | grep -q "^usbcam: --trace sets up the emulated machine, which only the Linux"; then
    tr -d '\r' <"$dir/trace.out" >&2
    fail "usbcam.exe --trace was not refused as an option of the emulation"
  fi
  # The examples: the lines under "Example:" that start with usbcam or echo,
  # each after the number of its example; the view runs until it is closed
  # (the window is checked on its own).
  awk '/^Example:/ { on = 1; ++n; next } on && /^      / { next }
       on && /^  (usbcam|echo)/ { sub(/^  /, ""); print n " " $0; next } { on = 0 }' \
    "$dir/help.txt" | grep -v '^[0-9]* usbcam view' >"$dir/examples.txt"
  [ "$(wc -l <"$dir/examples.txt")" -ge 20 ] || fail "only $(wc -l <"$dir/examples.txt") examples in usbcam.exe's help"
  printf ':100000000102030405060708090A0B0C0D0E0F1068\n:00000001FF\n' >"$dir/firmware.hex"
  head -c 256 /dev/zero >"$dir/image.bin"
  printf 'abc' >"$dir/commands.bin"
  printf 'info\r\ncapture -o a.png\r\nlast-status\r\n' >"$dir/commands.txt"
  {
    echo "@echo off"
    i=0
    previous=
    while read -r number example; do
      i=$((i + 1))
      [ "$number" = "$previous" ] || echo "usbcam select 0 0 >nul 2>nul"
      previous=$number
      echo "echo ==== line $i >>out.txt"
      echo "$example >>out.txt 2>&1"
      echo "if errorlevel 1 echo line $i of examples.txt failed"
    done <"$dir/examples.txt"
    echo "usbcam select 0 0 >nul 2>nul"
  } | sed 's/$/\r/' >"$dir/examples.cmd"
  (cd "$dir" && wine_run cmd /c examples.cmd) 2>/dev/null | tr -d '\r' >"$dir/examples.out" ||
    fail "the examples could not be run"
  # What the batch examples print, besides their errorlevel.
  for said in "slept 500 ms" "Camera 0 (" "a.png: 640 x 480 frame"; do
    tr -d '\r' <"$dir/out.txt" | grep -q -F "$said" || echo "no '$said' in the examples' output" >>"$dir/examples.out"
  done
  if grep -q "failed\|no '" "$dir/examples.out"; then
    cat "$dir/examples.out" >&2
    tr -d '\r' <"$dir/out.txt" | grep "usbcam:" >&2 || true
    cat -n "$dir/examples.txt" >&2
    fail "examples of usbcam.exe's help fail as printed"
  fi
  echo "wine-e2e: usbcam.exe's help: no emulation option; $(wc -l <"$dir/examples.txt") examples run as printed"
}

# One screenshot with the pattern, retried while the window comes up; prints
# the camera's counter shown.
screenshot() {
  tries=0
  while :; do
    if shot=$(timeout 30 /usr/bin/python3 "$root/windows/view-screenshot.py" "$DISPLAY" "$1"); then
      echo "${shot##* }"
      return 0
    fi
    tries=$((tries + 1))
    kill -0 "$view_pid" 2>/dev/null || { tr -d '\r' <"$work/view.out" >&2; fail "usbcam.exe view ended early"; }
    [ "$tries" -lt 40 ] || fail "no live view on the screen after 40 tries: $shot (the screen: $1; usbcam.exe: $(tr -d '\r' <"$work/view.out"))"
    sleep 0.5
  done
}

# The frame count in the window's title, as the X server has it.
title_frames() {
  timeout 10 xwininfo -root -tree 2>/dev/null | sed -n 's/.*"usbcam view: [^"]*, \([0-9]*\) frames".*/\1/p' | head -n 1
}

check_view() {
  /usr/bin/python3 -c 'from PIL import ImageGrab' 2>/dev/null ||
    fail "python3-pil not installed (scripts/install-deps.sh wine)"
  rm -f "$work"/view-*.png "$work"/capture-*.png
  # At most 60 s; Ctrl-C (SIGINT, which Wine hands to the console handler)
  # is sent below once the screenshots are taken.
  timeout -s KILL 60 "$wine" "$bin/usbcam.exe" view --dir "$(winpath "$work")" >"$work/view.out" 2>&1 &
  view_pid=$!
  first=$(screenshot "$work/view-1.png")
  frames1=$(title_frames)
  sleep 2
  second=$(screenshot "$work/view-2.png")
  frames2=$(title_frames)
  [ "$second" -gt "$first" ] || fail "the camera's counter on the screen did not rise: $first, then $second"
  [ -n "$frames1" ] && [ -n "$frames2" ] && [ "$frames2" -gt "$frames1" ] ||
    fail "the frame count in the window's title did not rise: '$frames1', then '$frames2'"
  # S saves the frame on show: capture-0001.png, a frame of the test pattern.
  rm -f "$work/capture-0001.png"
  window=$(timeout 10 xdotool search --name 'usbcam view: ' | head -n 1)
  [ -n "$window" ] || fail "xdotool finds no window named 'usbcam view: '"
  timeout 10 xdotool windowfocus --sync "$window" key s || fail "xdotool could not press S in the live view"
  tries=0
  until [ -s "$work/capture-0001.png" ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || fail "S in the live view wrote no capture-0001.png within 10 s"
    sleep 0.1
  done
  sleep 0.5
  saved=$(python3 "$root/tests/client/png_check.py" "$work/capture-0001.png" 640 480) ||
    fail "the frame S saved: $saved"
  # The viewer's process is the Wine process of usbcam.exe; SIGINT becomes Ctrl-C.
  pid=$(pgrep -P "$view_pid" | head -n 1)
  kill -INT "${pid:-$view_pid}"
  tries=0
  while kill -0 "$view_pid" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 200 ] || fail "usbcam.exe view did not end within 20 s of Ctrl-C"
    sleep 0.1
  done
  wait "$view_pid" || fail "usbcam.exe view failed: $(tr -d '\r' <"$work/view.out")"
  grep -q "live view stopped (Ctrl-C): [0-9]* frames shown, 1 saved" "$work/view.out" ||
    fail "usbcam.exe view did not stop on Ctrl-C: $(tr -d '\r' <"$work/view.out")"
  # Nothing of the view is left in the driver: the next client reads a frame.
  wine_run "$bin/usbcam.exe" capture -o "$(winpath "$work/after-view.png")" >/dev/null 2>&1 ||
    fail "the camera did not serve a capture after the view closed"
  # Closing the window (Alt+F4: the window's close command, as its close box
  # sends it) ends a second view the same way.
  timeout -s KILL 60 "$wine" "$bin/usbcam.exe" view >"$work/view-close.out" 2>&1 &
  view_pid=$!
  window=
  tries=0
  until [ -n "$window" ]; do
    tries=$((tries + 1))
    kill -0 "$view_pid" 2>/dev/null || fail "the second usbcam.exe view ended early: $(tr -d '\r' <"$work/view-close.out")"
    [ "$tries" -lt 100 ] || fail "the second live view's window did not appear within 20 s"
    sleep 0.2
    window=$(timeout 10 xdotool search --name 'usbcam view: ' | head -n 1)
  done
  sleep 1
  timeout 10 xdotool windowfocus --sync "$window" key alt+F4 || fail "xdotool could not press Alt+F4 in the live view"
  tries=0
  while kill -0 "$view_pid" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 200 ] || fail "usbcam.exe view did not end within 20 s of Alt+F4"
    sleep 0.1
  done
  wait "$view_pid" || fail "usbcam.exe view failed: $(tr -d '\r' <"$work/view-close.out")"
  grep -q "live view stopped (window closed)" "$work/view-close.out" ||
    fail "closing the window did not stop the view: $(tr -d '\r' <"$work/view-close.out")"
  wine_run "$bin/usbcam.exe" capture -o "$(winpath "$work/after-view.png")" >/dev/null 2>&1 ||
    fail "the camera did not serve a capture after the window closed"
  cp "$work/view-2.png" "$work/windows-view.png"
  echo "wine-e2e: usbcam.exe view: test pattern on screen, camera counter $first then $second," \
    "$frames1 then $frames2 frames in the title; S saved capture-0001.png (${saved#ok });" \
    "$(tr -d '\r' <"$work/view.out" | tail -n 1); Alt+F4: $(tr -d '\r' <"$work/view-close.out" | tail -n 1)"
}
