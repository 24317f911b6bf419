// The preview page: the live picture, a control for each of the camera's items as the API lists
// them, a histogram of the picture and the capture's figures.
"use strict";

const SHOWN_FIGURES = [
  ["frame_rate_fps", "frames/s"], ["link_limit_fps", "link allows"],
  ["frames_delivered", "frames"], ["first_picture", "first picture"],
  ["last_picture", "last picture"], ["missing_pictures", "missing"], ["gaps", "gaps"],
  ["driver_cpu_ms_per_frame", "driver ms/frame"], ["jpeg_ms_per_picture", "JPEG ms/picture"],
  ["viewers", "viewers"],
];
const STATS_EVERY_MS = 1000;
const VALUES_EVERY_MS = 2000;
const HISTOGRAM_EVERY_MS = 500;
const SLIDER_PAUSE_MS = 120;

const byId = (id) => document.getElementById(id);
const controls = new Map();  // name -> {item, input, shown, note}

async function api(path, options) {
  const response = await fetch(path, Object.assign({credentials: "same-origin"}, options));
  const body = await response.json();
  if (!response.ok) throw new Error(body.error || response.statusText);
  return body;
}

function showStopped(message) {
  const banner = byId("banner");
  banner.textContent = message;
  banner.hidden = false;
  byId("state").textContent = "stopped";
  byId("state").classList.add("stopped");
}

function showRunning(text) {
  byId("banner").hidden = true;
  byId("state").textContent = text;
  byId("state").classList.remove("stopped");
}

function showValue(control, item) {
  control.item = item;
  if (control.input && document.activeElement !== control.input) {
    if (control.input.type === "checkbox") control.input.checked = item.value !== 0;
    else control.input.value = item.value;
  }
  control.shown.textContent = item.value === null ? "?" : item.value;
  control.note.textContent = item.error || item.note || "";
}

async function setValue(name, value) {
  const control = controls.get(name);
  try {
    const item = await api("/api/controls/" + encodeURIComponent(name), {
      method: "PUT",
      headers: {"Content-Type": "application/json"},
      body: JSON.stringify({value: value}),
    });
    showValue(control, item);
  } catch (error) {
    control.note.textContent = error.message;
  }
}

function makeInput(item) {
  if (!item.writable) return null;
  const input = document.createElement("input");
  input.id = "control-" + item.name;
  if (item.kind === "switch") {
    input.type = "checkbox";
    input.addEventListener("change", () => setValue(item.name, input.checked ? 1 : 0));
    return input;
  }
  if (item.kind === "range") {
    input.type = "range";
    input.min = item.min;
    input.max = item.max;
    let pending = null;
    input.addEventListener("input", () => {
      clearTimeout(pending);
      pending = setTimeout(() => setValue(item.name, Number(input.value)), SLIDER_PAUSE_MS);
    });
    return input;
  }
  input.type = "number";
  input.addEventListener("change", () => setValue(item.name, Math.trunc(Number(input.value))));
  return input;
}

function addControl(form, item) {
  const row = document.createElement("div");
  row.className = "control";
  const label = document.createElement("label");
  label.textContent = item.name;
  const input = makeInput(item);
  const shown = document.createElement(input ? "output" : "span");
  shown.className = "value";
  const note = document.createElement("div");
  note.className = "note";
  row.append(label, input || document.createElement("span"), shown, note);
  if (input) label.htmlFor = input.id;
  if (item.default !== null) label.title = "range " + item.min + ".." + item.max + ", default " + item.default;
  form.append(row);
  const control = {item, input, shown, note};
  controls.set(item.name, control);
  showValue(control, item);
}

async function loadControls() {
  const items = await api("/api/controls");
  for (const item of items) addControl(byId(item.setting ? "settings" : "others"), item);
}

async function refreshValues() {
  try {
    for (const item of await api("/api/controls")) {
      const control = controls.get(item.name);
      if (control) showValue(control, item);
    }
  } catch (error) {
    // The figures' poll says when serve has gone.
  }
}

function showFigures(stats) {
  const list = byId("stats");
  list.replaceChildren();
  for (const [name, label] of SHOWN_FIGURES) {
    if (!(name in stats)) continue;
    const term = document.createElement("dt");
    term.textContent = label;
    const value = document.createElement("dd");
    value.id = "stat-" + name;
    const figure = stats[name];
    value.textContent = figure === null ? "none" : typeof figure === "number" && !Number.isInteger(figure) ? figure.toFixed(2) : figure;
    list.append(term, value);
  }
}

async function refreshStats() {
  try {
    const stats = await api("/api/stats");
    showFigures(stats);
    if (stats.camera === "running") {
      const rate = stats.frame_rate_fps === null ? "" : ", " + stats.frame_rate_fps.toFixed(1) + " frames/s";
      showRunning("camera running" + rate);
    } else {
      showStopped("The camera has stopped: " + stats.camera_problem);
    }
  } catch (error) {
    showStopped("camctl serve has stopped; start it again and reload this page.");
  }
}

function startPicture() {
  const picture = byId("picture");
  const full = byId("full-size");
  const connect = () => { picture.src = "/stream.mjpg" + (full.checked ? "?size=full" : "") + "#" + Date.now(); };
  full.addEventListener("change", connect);
  picture.addEventListener("error", () => showStopped("The picture stream has ended."));
  connect();
}

// Red, green and blue, each in 64 bins, from a small copy of the picture shown.
function drawHistogram() {
  const picture = byId("picture");
  if (!picture.complete || picture.naturalWidth === 0) return;
  const sample = document.createElement("canvas");
  sample.width = 160;
  sample.height = 120;
  const context = sample.getContext("2d", {willReadFrequently: true});
  context.drawImage(picture, 0, 0, sample.width, sample.height);
  const pixels = context.getImageData(0, 0, sample.width, sample.height).data;
  const bins = [new Array(64).fill(0), new Array(64).fill(0), new Array(64).fill(0)];
  for (let i = 0; i < pixels.length; i += 4) {
    for (let c = 0; c < 3; ++c) bins[c][pixels[i + c] >> 2]++;
  }
  const canvas = byId("histogram");
  const draw = canvas.getContext("2d");
  draw.clearRect(0, 0, canvas.width, canvas.height);
  draw.globalCompositeOperation = "lighter";
  const most = Math.max(1, ...bins.flat());
  ["#f44", "#4f4", "#48f"].forEach((colour, c) => {
    draw.fillStyle = colour;
    bins[c].forEach((count, bin) => {
      const height = Math.round((count / most) * canvas.height);
      draw.fillRect(bin * 4, canvas.height - height, 4, height);
    });
  });
  draw.globalCompositeOperation = "source-over";
}

async function start() {
  // The token came in the address and now lives in the page's cookie; it need not stay in view.
  if (location.search.includes("token=")) history.replaceState(null, "", "/");
  startPicture();
  try {
    await loadControls();
  } catch (error) {
    showStopped("The controls could not be read: " + error.message);
  }
  refreshStats();
  setInterval(refreshStats, STATS_EVERY_MS);
  setInterval(refreshValues, VALUES_EVERY_MS);
  setInterval(drawHistogram, HISTOGRAM_EVERY_MS);
}

start();
