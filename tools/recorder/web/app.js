// talo-recorder's console: the channel table from server-sent events, the
// call list from /api/calls, playback through the audio element and live
// listening through Web Audio. No build step, no libraries. The state names
// (CallState, ChannelState) come from /states.js, made by the recorder from
// its one table of them. Nothing is shown before a sign-in; every change
// sends the session's CSRF token.
"use strict";
const $ = (id) => document.getElementById(id);
const pageSize = 25;
let offset = 0;
let total = 0;
let me = null;       // the signed-in user: name, role, channels, csrf
let events = null;   // the channel table's event stream
let statusTimer = 0;

// What each role may do, as the recorder checks it.
const roleMay = {
  admin: ["search", "play", "listen", "holds", "accounts", "audit"],
  supervisor: ["search", "play", "listen", "holds"],
  agent: ["search", "play"],
  auditor: ["audit"],
};
function may(what) { return !!me && (roleMay[me.role] || []).includes(what); }

// fetch, with the CSRF token on changes; a 401 shows the sign-in form.
async function api(path, options = {}) {
  const method = options.method || "GET";
  const headers = Object.assign({}, options.headers || {});
  if (method !== "GET") headers["X-CSRF-Token"] = me ? me.csrf : "";
  if (options.json !== undefined) { headers["Content-Type"] = "application/json"; options.body = JSON.stringify(options.json); }
  const answer = await fetch(path, { method, headers, body: options.body, signal: options.signal, credentials: "same-origin" });
  if (answer.status === 401 && path !== "/api/login" && path !== "/api/password") signedOut();
  return answer;
}
async function errorOf(answer) {
  try { return (await answer.json()).error || answer.statusText; } catch (e) { return answer.statusText; }
}

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
    if (may("listen") && (c.kind === "line" || c.kind === "trunk" || c.kind === "station")) {
      const b = document.createElement("button");
      b.type = "button"; b.id = "listen-" + c.ch; b.textContent = "Listen";
      b.onclick = () => listen(c.ch);
      td.appendChild(b);
    }
  }
  $("channels-updated").textContent = "updated " + new Date().toLocaleTimeString();
}

function connectEvents() {
  if (events) events.close();
  events = new EventSource("/api/events");
  events.addEventListener("channels", (e) => showChannels(JSON.parse(e.data).channels));
  events.onerror = () => { $("channels-updated").textContent = "reconnecting…"; };
}

// ---- call list
function query() {
  const p = new URLSearchParams();
  const number = $("q-number").value.trim();
  if (number) p.set("number", number);
  if ($("q-channel").value !== "") p.set("channel", $("q-channel").value);
  if ($("q-node").value.trim() !== "") p.set("node", $("q-node").value.trim());
  if ($("q-from").value) p.set("from", String(new Date($("q-from").value).getTime()));
  if ($("q-to").value) p.set("to", String(new Date($("q-to").value).getTime()));
  p.set("limit", String(pageSize));
  p.set("offset", String(offset));
  return p;
}

async function search() {
  // The export is of every match of this search, not of the page shown.
  const format = $("dl-format").value;
  const all = query();
  all.delete("limit"); all.delete("offset"); all.set("format", format);
  $("export-zip").href = "/api/export.zip?" + all;
  const answer = await api("/api/calls?" + query());
  const body = await answer.json();
  if (!answer.ok) { $("search-error").textContent = body.error; return; }
  $("search-error").textContent = "";
  total = body.total;
  const rows = $("call-rows");
  rows.replaceChildren();
  for (const c of body.calls) {
    const row = document.createElement("tr");
    row.id = "call-" + c.id;
    if (c.hold) row.className = "held";
    cell(row, c.id); cell(row, c.node).className = "node"; cell(row, time(c.start_ms)); cell(row, c.channel); cell(row, c.direction);
    cell(row, c.number).className = "number"; cell(row, c.called).className = "called"; cell(row, c.digits);
    cell(row, seconds(c.duration_ms));
    const state = cell(row, c.state + (c.part > 1 ? " (part " + c.part + ")" : ""));
    if (c.hold) {
      state.textContent += " · on hold";
      state.title = "held by " + c.hold.by + " since " + time(c.hold.ms) + ": " + c.hold.reason;
    } else if (c.state === CallState.purged) {
      state.title = "purged " + time(c.purged_ms) + " (" + c.purge_rule + ")";
    }
    if (c.archived_ms > 0 && c.state !== CallState.purged) {
      state.textContent += " · archived";
      state.title = (state.title ? state.title + "; " : "") + "in Opus since " + time(c.archived_ms);
    }
    if (c.check_failed) {
      // The file no longer matches the hash taken when the call ended.
      const tag = document.createElement("span");
      tag.className = "checkfailed"; tag.id = "check-" + c.id; tag.textContent = c.check_failed;
      tag.title = "the last verify found this recording " + c.check_failed;
      state.appendChild(document.createTextNode(" "));
      state.appendChild(tag);
    }
    const td = cell(row, "");
    const onDisk = c.bytes > 0 && c.state !== CallState.purged;
    if (c.direction !== "fax" && onDisk) {
      const b = document.createElement("button");
      b.type = "button"; b.id = "play-" + c.id; b.className = "play"; b.textContent = "Play";
      b.onclick = () => play(c);
      td.appendChild(b);
    } else if (c.direction === "fax" && onDisk) {
      const a = document.createElement("a");
      a.id = "pages-" + c.id; a.textContent = "Pages"; a.target = "_blank"; a.rel = "noopener";
      a.href = "/api/calls/" + c.id + "/fax.png";
      td.appendChild(a);
    }
    if (onDisk) {
      const a = document.createElement("a");
      a.id = "download-" + c.id; a.textContent = "Download"; a.download = "";
      a.href = "/api/calls/" + c.id + "/download?format=" + (c.direction === "fax" ? "original" : format);
      td.appendChild(a);
    }
    if (may("holds") && (c.hold || c.state !== CallState.purged)) {
      const b = document.createElement("button");
      b.type = "button"; b.id = "hold-" + c.id; b.textContent = c.hold ? "Lift hold" : "Hold";
      b.onclick = () => (c.hold ? liftHold(c) : setHold(c));
      td.appendChild(b);
    }
    rows.appendChild(row);
  }
  $("page-info").textContent = total ? (offset + 1) + "–" + (offset + body.calls.length) + " of " + total : "no calls";
  $("prev").disabled = offset === 0;
  $("next").disabled = offset + pageSize >= total;
}

// A legal hold keeps a call from the retention sweep until it is lifted.
async function setHold(c) {
  const reason = window.prompt("Hold call " + c.id + " (it will not be deleted). Reason:");
  if (reason === null) return;
  const answer = await api("/api/calls/" + c.id + "/hold", { method: "POST", json: { reason: reason.trim() } });
  $("search-error").textContent = answer.ok ? "" : await errorOf(answer);
  search();
}

async function liftHold(c) {
  if (!window.confirm("Lift the hold on call " + c.id + " (" + c.hold.reason + ")? Its retention applies again.")) return;
  const answer = await api("/api/calls/" + c.id + "/hold", { method: "DELETE" });
  $("search-error").textContent = answer.ok ? "" : await errorOf(answer);
  search();
}

function play(c) {
  const player = $("player");
  // An archived call plays its Opus file as it is, which browsers decode.
  player.src = "/api/calls/" + c.id + (c.archived_ms > 0 ? "/audio.opus" : "/audio.wav");
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
    const answer = await api("/api/live/" + ch + ".wav", { signal: abort.signal });
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
    const answer = await api("/api/status");
    if (!answer.ok) return;
    const s = await answer.json();
    $("index-status").textContent = s.index.ok ? "index: ok (" + s.index.written + " rows written)"
                                               : "index: " + s.index.last_error;
    const disk = $("disk-status");
    disk.hidden = !(s.storage && s.storage.low);
    if (s.storage) disk.textContent = "disk low: " + s.storage.free_mb + " MB free (alarm below " + s.storage.min_free_mb + " MB)";
  } catch (e) { $("index-status").textContent = "recorder unreachable"; }
}

$("search-form").onsubmit = (e) => { e.preventDefault(); offset = 0; search(); };
$("dl-format").onchange = () => search();
$("prev").onclick = () => { offset = Math.max(0, offset - pageSize); search(); };
$("next").onclick = () => { offset += pageSize; search(); };
$("live-stop").onclick = stopListening;

// ---- signing in and out
function show(section) {
  for (const id of ["login", "password", "console"]) $(id).hidden = id !== section;
}

function signedIn(who) {
  me = who;
  $("who").textContent = who.user + " (" + who.role + ")";
  $("logout").hidden = false;
  $("password-open").hidden = false;
  if (who.must_change) {
    $("password-why").textContent = "Set a new password before going on.";
    $("pw-cancel").hidden = true;
    show("password");
    return;
  }
  show("console");
  $("channels-panel").hidden = !may("search");
  $("calls-panel").hidden = !may("search");
  $("live-stop").hidden = !may("listen");
  $("accounts-panel").hidden = !may("accounts");
  $("audit-panel").hidden = !may("audit");
  if (may("search")) {
    connectEvents();
    search();
    status();
    clearInterval(statusTimer);
    statusTimer = setInterval(status, 5000);
  }
  if (may("accounts")) loadAccounts();
  if (may("audit")) loadAudit();
}

// Whatever was shown goes with the session.
function signedOut() {
  me = null;
  stopListening();
  if (events) { events.close(); events = null; }
  clearInterval(statusTimer);
  for (const id of ["channel-rows", "call-rows", "account-rows", "audit-rows"]) $(id).replaceChildren();
  $("player").removeAttribute("src");
  $("now-playing").textContent = "";
  $("page-info").textContent = "";
  $("who").textContent = "";
  $("logout").hidden = true;
  $("password-open").hidden = true;
  $("login-password").value = "";
  show("login");
}

$("login-form").onsubmit = async (e) => {
  e.preventDefault();
  const answer = await api("/api/login", { method: "POST", json: { user: $("login-user").value, password: $("login-password").value } });
  $("login-password").value = "";
  if (!answer.ok) { $("login-error").textContent = await errorOf(answer); return; }
  $("login-error").textContent = "";
  signedIn(await answer.json());
};

$("logout").onclick = async () => {
  await api("/api/logout", { method: "POST" });
  signedOut();
};

$("password-open").onclick = () => {
  $("password-why").textContent = "";
  $("pw-cancel").hidden = false;
  show("password");
};
$("pw-cancel").onclick = () => show("console");

$("password-form").onsubmit = async (e) => {
  e.preventDefault();
  const answer = await api("/api/password", { method: "POST", json: { old: $("pw-old").value, new: $("pw-new").value } });
  $("pw-old").value = ""; $("pw-new").value = "";
  if (!answer.ok) { $("pw-error").textContent = await errorOf(answer); return; }
  $("pw-error").textContent = "";
  const who = await answer.json();
  who.channels = me.channels;
  signedIn(who);
};

// ---- accounts (admins)
async function loadAccounts() {
  const answer = await api("/api/accounts");
  if (!answer.ok) { $("accounts-error").textContent = await errorOf(answer); return; }
  const rows = $("account-rows");
  rows.replaceChildren();
  for (const a of (await answer.json()).accounts) {
    const row = document.createElement("tr");
    row.id = "account-" + a.name;
    cell(row, a.name); cell(row, a.role); cell(row, a.channels.join(",")); cell(row, a.must_change ? "yes" : "");
    const td = cell(row, "");
    if (a.name !== me.user) {
      const b = document.createElement("button");
      b.type = "button"; b.textContent = "Delete"; b.className = "delete";
      b.onclick = () => deleteAccount(a.name);
      td.appendChild(b);
    }
    rows.appendChild(row);
  }
}

async function deleteAccount(name) {
  const answer = await api("/api/accounts/" + encodeURIComponent(name), { method: "DELETE" });
  $("accounts-error").textContent = answer.ok ? "" : await errorOf(answer);
  loadAccounts();
}

// A new name adds an account; a known one gets the role, channels and password.
$("account-form").onsubmit = async (e) => {
  e.preventDefault();
  const name = $("a-name").value.trim();
  const body = { name, role: $("a-role").value, channels: $("a-channels").value.trim(), password: $("a-password").value };
  const known = !!$("account-" + name);
  const answer = await api(known ? "/api/accounts/" + encodeURIComponent(name) : "/api/accounts", { method: "POST", json: body });
  $("a-password").value = "";
  $("accounts-error").textContent = answer.ok ? "" : await errorOf(answer);
  loadAccounts();
};

// ---- the audit trail (admins and auditors)
function auditQuery() {
  const p = new URLSearchParams();
  if ($("au-user").value.trim()) p.set("user", $("au-user").value.trim());
  if ($("au-action").value.trim()) p.set("action", $("au-action").value.trim());
  if ($("au-from").value) p.set("from", String(new Date($("au-from").value).getTime()));
  if ($("au-to").value) p.set("to", String(new Date($("au-to").value).getTime()));
  return p;
}

async function loadAudit() {
  const p = auditQuery();
  $("audit-csv").href = "/api/audit.csv?" + p;
  p.set("limit", "200");
  const answer = await api("/api/audit?" + p);
  if (!answer.ok) { $("audit-error").textContent = await errorOf(answer); return; }
  $("audit-error").textContent = "";
  const rows = $("audit-rows");
  rows.replaceChildren();
  for (const r of (await answer.json()).rows) {
    const row = document.createElement("tr");
    cell(row, time(r.time_ms)); cell(row, r.user); cell(row, r.address); cell(row, r.action);
    cell(row, r.object); cell(row, r.outcome);
    rows.appendChild(row);
  }
}
$("audit-form").onsubmit = (e) => { e.preventDefault(); loadAudit(); };

// A page brought back from the history asks again whether its session stands.
window.addEventListener("pageshow", (e) => { if (e.persisted) location.reload(); });

// A reloaded page finds its session (and its token) again.
(async () => {
  const answer = await fetch("/api/me", { credentials: "same-origin" });
  if (answer.ok) signedIn(await answer.json()); else signedOut();
})();
