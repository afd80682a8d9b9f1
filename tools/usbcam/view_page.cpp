// The live view's page: the latest frame, refreshed as new ones arrive, the
// figures under it, and a button that has usbcam write the frame as a PNG.
#include "view_page.h"

namespace usbcam {
namespace cli {

const char kViewPage[] = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Tavrinoscope live view</title>
<style>
  body { font-family: sans-serif; background: #1d2024; color: #e8e8e8; margin: 24px; }
  h1 { font-size: 20px; font-weight: 600; margin: 0 0 12px 0; }
  #frame { display: block; background: #000; border: 1px solid #444; image-rendering: pixelated;
           width: 640px; height: 480px; }
  table { border-collapse: collapse; margin-top: 12px; }
  td { padding: 2px 16px 2px 0; font-variant-numeric: tabular-nums; }
  td:first-child { color: #9aa0a6; }
  button { margin-top: 12px; padding: 6px 16px; font-size: 14px; }
  #error { color: #ff8a80; margin-top: 8px; min-height: 1em; }
</style>
</head>
<body>
<h1>Tavrinoscope live view <span id="device"></span></h1>
<img id="frame" alt="latest frame" width="640" height="480">
<table>
  <tr><td>frames</td><td id="frames">0</td></tr>
  <tr><td>frame counter</td><td id="counter">-</td></tr>
  <tr><td>size</td><td id="size">-</td></tr>
  <tr><td>frame rate</td><td id="fps">-</td></tr>
  <tr><td>byte rate</td><td id="rate">-</td></tr>
  <tr><td>last USB status</td><td id="usb">-</td></tr>
</table>
<button id="capture">Capture PNG</button> <span id="saved"></span>
<div id="error"></div>
<script>
"use strict";
const frame = document.getElementById("frame");
let shown = -1;
let loading = false;
frame.addEventListener("load", () => {
  loading = false;
  frame.dataset.loaded = frame.naturalWidth + "x" + frame.naturalHeight;
});
frame.addEventListener("error", () => { loading = false; });
function text(id, value) { document.getElementById(id).textContent = value; }
function rate(bytes) {
  const units = ["B/s", "kB/s", "MB/s", "GB/s"];
  let u = 0;
  while (bytes >= 1000 && u < 3) { bytes /= 1000; u++; }
  return bytes.toFixed(u ? 1 : 0) + " " + units[u];
}
async function poll() {
  try {
    const response = await fetch("/status.json", { cache: "no-store" });
    const s = await response.json();
    text("device", s.device);
    text("frames", s.frames);
    text("counter", s.frames ? s.counter : "-");
    text("size", s.frames ? s.width + " x " + s.height : "-");
    text("fps", s.fps.toFixed(1) + " frames/s");
    text("rate", rate(s.bytes_per_second));
    text("usb", s.last_usb_status);
    text("error", s.error || "");
    if (s.frames !== shown && !loading && s.frames > 0) {
      shown = s.frames;
      loading = true;
      frame.src = "/frame.png?n=" + s.frames;
    }
  } catch (e) {
    text("error", "usbcam is not answering (stopped?)");
  }
  setTimeout(poll, 200);
}
document.getElementById("capture").addEventListener("click", async () => {
  const response = await fetch("/capture", { method: "POST" });
  const r = await response.json();
  text("saved", r.file ? "saved " + r.file : r.error);
});
poll();
</script>
</body>
</html>
)HTML";

}  // namespace cli
}  // namespace usbcam
