// gateway/console/dom.js - building the page without HTML strings: every
// text, and above all a stranger's (message texts, numbers, errors), goes in
// as a text node, so nothing anyone sends can become markup or script.

// h("a", {href: "#/", class: "x", onclick: fn}, "text", child, [more]) -> element
export function h(tag, attrs, ...children) {
  const el = document.createElement(tag);
  for (const [name, value] of Object.entries(attrs || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (name.startsWith("on") && typeof value === "function") el.addEventListener(name.slice(2), value);
    else if (name === "class") el.className = value;
    else if (name === "value") el.value = value;
    else if (value === true) el.setAttribute(name, "");
    else el.setAttribute(name, String(value));
  }
  append(el, children);
  return el;
}

function append(el, children) {
  for (const child of children) {
    if (child === undefined || child === null || child === false) continue;
    if (Array.isArray(child)) append(el, child);
    else if (child instanceof Node) el.appendChild(child);
    else el.appendChild(document.createTextNode(String(child)));
  }
}

// Replaces everything in `el` with `children`.
export function fill(el, ...children) {
  el.replaceChildren();
  append(el, children);
  return el;
}

const dateTime = new Intl.DateTimeFormat(undefined, { dateStyle: "medium", timeStyle: "medium" });
const timeOnly = new Intl.DateTimeFormat(undefined, { timeStyle: "short" });
const dayAndTime = new Intl.DateTimeFormat(undefined, { month: "short", day: "numeric", hour: "numeric", minute: "2-digit" });

// A <time> in the browser's zone: the time alone for today, else day and time.
export function when(iso, full = false) {
  if (!iso) return h("span", { class: "muted" }, "—");
  const date = new Date(iso);
  const today = new Date().toDateString() === date.toDateString();
  const text = full ? dateTime.format(date) : today ? timeOnly.format(date) : dayAndTime.format(date);
  return h("time", { datetime: iso, title: dateTime.format(date), class: "time" }, text);
}

export function badge(state) {
  return h("span", { class: `badge ${state}` }, state);
}

export function emptyState(title, text, code) {
  return h("div", { class: "empty" }, h("strong", {}, title), text, code ? h("code", {}, code) : null);
}

// A query string from the entries of `params` that have a value.
export function query(params) {
  const q = new URLSearchParams();
  for (const [k, v] of Object.entries(params)) if (v !== undefined && v !== null && v !== "") q.set(k, v);
  const s = q.toString();
  return s ? `?${s}` : "";
}
