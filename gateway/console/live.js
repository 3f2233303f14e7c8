// gateway/console/live.js - the gateway's event stream (GET /v1/events).
// EventSource cannot send the key, so each connection first trades it for
// a single-use ticket; a broken stream is opened again with a new ticket,
// and the pages read everything again ("resync") since events may have
// been missed meanwhile.

import { api } from "./api.js";

const listeners = new Set();
let source = null;
let retry = null;
let delay = 1000;
let wanted = false;
let onState = () => {};

export function onLiveState(fn) { onState = fn; }

// fn(name, data) for "status", "message", "report" and "resync".
export function subscribe(fn) {
  listeners.add(fn);
  return () => listeners.delete(fn);
}

function emit(name, data) {
  for (const fn of [...listeners]) fn(name, data);
}

export function startLive() {
  wanted = true;
  connect();
}

export function stopLive() {
  wanted = false;
  clearTimeout(retry);
  if (source) source.close();
  source = null;
}

async function connect() {
  if (!wanted || source) return;
  onState("connecting");
  let ticket;
  try {
    ({ ticket } = await api("/v1/events/ticket", { method: "POST" }));
  } catch {
    return again();
  }
  if (!wanted) return;
  source = new EventSource(`/v1/events?ticket=${encodeURIComponent(ticket)}`);
  source.addEventListener("hello", () => {
    delay = 1000;
    onState("on");
    // What changed between the page's reads and this stream, the page reads again.
    emit("resync", {});
  });
  for (const name of ["status", "message", "report", "resync"]) {
    source.addEventListener(name, (e) => {
      let data = {};
      try { data = JSON.parse(e.data); } catch { /* a resync carries nothing */ }
      emit(name, data);
    });
  }
  // The ticket is spent: EventSource's own retry would be refused.
  source.onerror = () => {
    source.close();
    source = null;
    again();
  };
}

function again() {
  onState("off");
  clearTimeout(retry);
  if (!wanted) return;
  retry = setTimeout(connect, delay);
  delay = Math.min(delay * 2, 15000);
}
