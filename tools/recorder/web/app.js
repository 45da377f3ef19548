// talo-recorder's console: the channel table from server-sent events, the
// call list from /api/calls, playback through the audio element and live
// listening through Web Audio. No build step, no libraries. The state names
// (CallState, ChannelState) come from /states.js, made by the recorder from
// its one table of them.
"use strict";
const $ = (id) => document.getElementById(id);
const pageSize = 25;
let offset = 0;
let total = 0;

function text(value) { return value === undefined || value === null ? "" : String(value); }
function time(ms) { return ms ? new Date(ms).toLocaleString() : ""; }
function seconds(ms) { return (ms / 1000).toFixed(1) + " s"; }
function cell(row, value) { const td = document.createElement("td"); td.textContent = text(value); row.appendChild(td); return td; }

// ---- channel table
function showChannels(channels) {
  const body = $("channel-rows");
  for (const c of channels) {
    let row = $("ch-" + c.ch);
    if (!row) {
      row = document.createElement("tr");
      row.id = "ch-" + c.ch;
      body.appendChild(row);
    }
    row.className = c.state.replace(" ", "") + (c.state === ChannelState.noLine ? " nolinestate" : "");
    row.dataset.state = c.state;
    row.replaceChildren();
    cell(row, c.ch); cell(row, c.kind); cell(row, c.state).className = "state";
    cell(row, c.direction); cell(row, c.number).className = "number"; cell(row, c.digits);
    cell(row, time(c.since_ms)); cell(row, c.file ? c.file + " (" + c.bytes + " bytes)" : "");
    const td = cell(row, "");
    if (c.kind === "line" || c.kind === "trunk" || c.kind === "station") {
      const b = document.createElement("button");
      b.type = "button"; b.id = "listen-" + c.ch; b.textContent = "Listen";
      b.onclick = () => listen(c.ch);
      td.appendChild(b);
    }
  }
  $("channels-updated").textContent = "updated " + new Date().toLocaleTimeString();
}

function connectEvents() {
  const events = new EventSource("/api/events");
  events.addEventListener("channels", (e) => showChannels(JSON.parse(e.data).channels));
  events.onerror = () => { $("channels-updated").textContent = "reconnecting…"; };
}

// ---- call list
function query() {
  const p = new URLSearchParams();
  const number = $("q-number").value.trim();
  if (number) p.set("number", number);
  if ($("q-channel").value !== "") p.set("channel", $("q-channel").value);
  if ($("q-from").value) p.set("from", String(new Date($("q-from").value).getTime()));
  if ($("q-to").value) p.set("to", String(new Date($("q-to").value).getTime()));
  p.set("limit", String(pageSize));
  p.set("offset", String(offset));
  return p;
}

async function search() {
  const answer = await fetch("/api/calls?" + query());
  const body = await answer.json();
  if (!answer.ok) { $("search-error").textContent = body.error; return; }
  $("search-error").textContent = "";
  total = body.total;
  const rows = $("call-rows");
  rows.replaceChildren();
  for (const c of body.calls) {
    const row = document.createElement("tr");
    row.id = "call-" + c.id;
    cell(row, c.id); cell(row, time(c.start_ms)); cell(row, c.channel); cell(row, c.direction);
    cell(row, c.number).className = "number"; cell(row, c.called).className = "called"; cell(row, c.digits);
    cell(row, seconds(c.duration_ms)); cell(row, c.state + (c.part > 1 ? " (part " + c.part + ")" : ""));
    const td = cell(row, "");
    if (c.direction !== "fax" && c.bytes > 0) {
      const b = document.createElement("button");
      b.type = "button"; b.id = "play-" + c.id; b.className = "play"; b.textContent = "Play";
      b.onclick = () => play(c);
      td.appendChild(b);
    }
    rows.appendChild(row);
  }
  $("page-info").textContent = total ? (offset + 1) + "–" + (offset + body.calls.length) + " of " + total : "no calls";
  $("prev").disabled = offset === 0;
  $("next").disabled = offset + pageSize >= total;
}

function play(c) {
  const player = $("player");
  player.src = "/api/calls/" + c.id + "/audio.wav";
  player.dataset.callId = c.id;
  $("now-playing").textContent = "call " + c.id + " on ch " + c.channel + ", " + (c.number || "unknown number") +
    (c.called ? " to " + c.called : "");
  player.play();
}

// ---- live listening: the WAV stream's PCM scheduled into Web Audio
let live = null;
async function listen(ch) {
  stopListening();
  const context = new AudioContext({ sampleRate: 8000 });
  const abort = new AbortController();
  live = { context, abort, ch, next: 0, bytes: 0 };
  const mine = live;
  $("live-status").textContent = "connecting to ch " + ch + "…";
  $("live-stop").disabled = false;
  try {
    const answer = await fetch("/api/live/" + ch + ".wav", { signal: abort.signal });
    if (!answer.ok) throw new Error((await answer.json()).error);
    const reader = answer.body.getReader();
    let header = 44, carry = new Uint8Array(0);
    for (;;) {
      const { value, done } = await reader.read();
      if (done || live !== mine) break;
      let data = value;
      if (header > 0) { const skip = Math.min(header, data.length); header -= skip; data = data.subarray(skip); }
      if (carry.length) { const all = new Uint8Array(carry.length + data.length); all.set(carry); all.set(data, carry.length); data = all; }
      const even = data.length & ~1;
      carry = data.slice(even);
      if (even === 0) continue;
      const view = new DataView(data.buffer, data.byteOffset, even);
      const buffer = context.createBuffer(1, even / 2, 8000);
      const samples = buffer.getChannelData(0);
      for (let i = 0; i < samples.length; i++) samples[i] = view.getInt16(i * 2, true) / 32768;
      const source = context.createBufferSource();
      source.buffer = buffer;
      source.connect(context.destination);
      mine.next = Math.max(mine.next, context.currentTime + 0.05);
      source.start(mine.next);
      mine.next += buffer.duration;
      mine.bytes += even;
      $("live-status").textContent = "listening to ch " + ch + " (" + (mine.bytes / 16000).toFixed(1) + " s)";
      document.body.dataset.liveBytes = String(mine.bytes);
    }
    if (live === mine) $("live-status").textContent = "ch " + ch + ": stream ended";
  } catch (e) {
    if (live === mine) $("live-status").textContent = "ch " + ch + ": " + e.message;
  }
}

function stopListening() {
  if (!live) return;
  live.abort.abort();
  live.context.close();
  live = null;
  $("live-status").textContent = "not listening";
  $("live-stop").disabled = true;
}

async function status() {
  try {
    const s = await (await fetch("/api/status")).json();
    $("index-status").textContent = s.index.ok ? "index: ok (" + s.index.written + " rows written)"
                                               : "index: " + s.index.last_error;
  } catch (e) { $("index-status").textContent = "recorder unreachable"; }
}

$("search-form").onsubmit = (e) => { e.preventDefault(); offset = 0; search(); };
$("prev").onclick = () => { offset = Math.max(0, offset - pageSize); search(); };
$("next").onclick = () => { offset += pageSize; search(); };
$("live-stop").onclick = stopListening;
connectEvents();
search();
status();
setInterval(status, 5000);
