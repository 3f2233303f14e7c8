// gateway/console/pages.js - the console's pages. Each page fills `main`,
// keeps itself current from the event stream (and polls the modems, whose
// state has no events) and returns a function that stops all of that when
// the page is left. Lists hold one page of rows: a long-open console keeps
// a bounded window, not everything it ever saw.

import { h, fill, when, badge, emptyState, query } from "./dom.js";
import { api, maySend, READ_ONLY, ApiError } from "./api.js";
import { subscribe } from "./live.js";

const STATUSES = ["queued", "sending", "sent", "delivered", "failed", "expired", "canceled"];
const PAGE = 25;
const MODEM_POLL_MS = 3000;

function heading(text, ...extra) {
  return h("div", { class: "page-head" }, h("h1", { tabindex: "-1" }, text), ...extra);
}

function errorNotice(error) {
  return h("p", { class: "notice bad", role: "alert" }, error instanceof ApiError ? error.message : String(error));
}

// Runs `load` now, again on every event `wanted(name, data)` accepts, and
// every `pollMs` when given; returns the stop. One load at a time: events
// that come during a load make one more, so a busy gateway costs a reader
// one request per answer, not one per event.
function keepCurrent(load, wanted, pollMs) {
  let stopped = false;
  let running = false;
  let again = false;
  const run = async () => {
    if (stopped) return;
    if (running) { again = true; return; }
    running = true;
    try {
      await load();
    } finally {
      running = false;
      if (again) { again = false; run(); }
    }
  };
  run();
  const unsubscribe = subscribe((name, data) => { if (name === "resync" || wanted(name, data)) run(); });
  const timer = pollMs ? setInterval(run, pollMs) : null;
  return () => {
    stopped = true;
    unsubscribe();
    if (timer) clearInterval(timer);
  };
}

function curlExample() {
  return `curl -H "Authorization: Bearer $TOKEN" -d '{"to":"+4915112345678","text":"Hello"}' ${location.origin}/v1/messages`;
}

function startOfToday() {
  const d = new Date();
  d.setHours(0, 0, 0, 0);
  return d.getTime();
}

// ---- Overview ---------------------------------------------------------------

export function overview(main) {
  const queue = h("div", {}, h("p", { class: "muted" }, "Loading…"));
  const today = h("div", {}, h("p", { class: "muted" }, "Loading…"));
  const modems = h("div", {}, h("p", { class: "muted" }, "Loading…"));
  const incoming = h("div", {}, h("p", { class: "muted" }, "Loading…"));
  fill(main,
    heading("Overview"),
    h("div", { class: "grid two" },
      h("section", { class: "card", "aria-labelledby": "queue-h" }, h("h2", { id: "queue-h" }, "Queue"), queue),
      h("section", { class: "card", "aria-labelledby": "today-h" }, h("h2", { id: "today-h" }, "Today"), today),
      h("section", { class: "card", "aria-labelledby": "modems-h" }, h("h2", { id: "modems-h" }, "Modems"), modems),
      h("section", { class: "card", "aria-labelledby": "in-h" }, h("h2", { id: "in-h" }, "Latest incoming"), incoming)));

  const stat = (label, value, tone, href) => h("div", { class: `stat ${tone || ""}` },
    h("dt", {}, href ? h("a", { href }, label) : label), h("dd", {}, String(value)));

  async function loadSummary() {
    try {
      const s = await api(`/v1/summary${query({ since: startOfToday() })}`);
      fill(queue, h("dl", { class: "stats" },
        STATUSES.map((st) => stat(st, s.queue[st], st === "failed" || st === "expired" ? (s.queue[st] ? "bad" : "") : "",
          `#/messages${query({ status: st })}`))));
      fill(today, h("dl", { class: "stats" },
        stat("sent", s.since.sent), stat("delivered", s.since.delivered, "ok"),
        stat("failed", s.since.failed, s.since.failed ? "bad" : "")),
        h("p", { class: "hint" }, "Since midnight in your time zone."));
      fill(incoming, s.latest_incoming.length
        ? h("ul", { class: "list" }, s.latest_incoming.map((m) => h("li", {},
            h("a", { class: "row-link", href: `#/conversations/${encodeURIComponent(m.from)}` },
              h("div", { class: "row-head" }, h("strong", {}, m.from), when(m.stored)),
              h("div", { class: "snippet" }, m.text)))))
        : emptyState("Nothing received yet", "Messages sent to your modems' numbers show up here as they arrive."));
    } catch (e) {
      fill(queue, errorNotice(e));
    }
  }

  async function loadModems() {
    try {
      const { modems: list } = await api("/v1/modems");
      const up = list.filter((m) => m.state === "up").length;
      fill(modems,
        h("p", {}, h("strong", {}, `${up} up`), `, ${list.length - up} not up`),
        list.length ? h("ul", { class: "list" }, list.map((m) => h("li", {},
          h("div", { class: "row-head" }, h("a", { href: "#/modems" }, m.name), badge(m.state)),
          m.last_error ? h("div", { class: "error-text" }, m.last_error) : null)))
          : emptyState("No modems", "Start the gateway with --modem DEVICE, or with simulated modems."));
    } catch (e) {
      fill(modems, errorNotice(e));
    }
  }

  const stops = [keepCurrent(loadSummary, () => true), keepCurrent(loadModems, () => false, MODEM_POLL_MS)];
  return () => stops.forEach((stop) => stop());
}

// ---- Messages -----------------------------------------------------------------

export function messages(main, params) {
  const status = params.get("status") || "";
  const to = params.get("to") || "";
  const before = params.get("before") || "";
  const statusSelect = h("select", { id: "f-status", name: "status" },
    h("option", { value: "" }, "Any status"), STATUSES.map((s) => h("option", { value: s, selected: s === status }, s)));
  const numberInput = h("input", { id: "f-to", name: "to", type: "tel", value: to, autocomplete: "off", placeholder: "+4915112345678" });
  const form = h("form", { class: "filters", role: "search", onsubmit: (e) => {
      e.preventDefault();
      location.hash = `#/messages${query({ status: statusSelect.value, to: numberInput.value.trim() })}`;
    } },
    h("div", { class: "field narrow" }, h("label", { for: "f-status" }, "Status"), statusSelect),
    h("div", { class: "field" }, h("label", { for: "f-to" }, "Number"), numberInput),
    h("div", { class: "actions" }, h("button", { type: "submit" }, "Filter"),
      status || to ? h("a", { class: "button secondary", href: "#/messages" }, "Clear") : null));
  const body = h("div", {}, h("p", { class: "muted" }, "Loading…"));
  fill(main, heading("Messages", h("a", { class: "button", href: "#/compose" }, "Compose")), form,
    h("section", { class: "card", "aria-label": "Message list" }, body));

  let rows = new Map();  // id -> the row's status cell, patched by events
  // The latest status events, so that a list read just before an event
  // committed does not show the older status (a bounded window).
  const latest = new Map();
  const RANK = { scheduled: 0, queued: 0, sending: 1, sent: 2, delivered: 3, failed: 3, expired: 3, canceled: 3 };
  const newest = (m) => {
    const heard = latest.get(m.id);
    return heard && (RANK[heard] ?? 0) > (RANK[m.status] ?? 0) ? heard : m.status;
  };
  async function load() {
    try {
      const { messages: list } = await api(`/v1/messages${query({ status, to, before, limit: PAGE })}`);
      rows = new Map();
      if (!list.length) {
        fill(body, status || to || before
          ? emptyState("No messages match", "Try another status or number, or clear the filter.")
          : emptyState("No messages yet", "Send one from Compose, or with curl:", curlExample()));
        return;
      }
      const table = h("table", { class: "table" },
        h("thead", {}, h("tr", {}, ["ID", "To", "Text", "Status", "Parts", "Modem", "Updated"].map((t) => h("th", { scope: "col" }, t)))),
        h("tbody", {}, list.map((m) => {
          const cell = h("td", {}, badge(newest(m)));
          rows.set(m.id, cell);
          return h("tr", { "data-id": m.id },
            h("td", { class: "num" }, h("a", { href: `#/messages/${m.id}`, "aria-label": `Message ${m.id}` }, `#${m.id}`)),
            h("td", {}, m.to),
            h("td", { class: "text-cell" }, h("span", {}, m.text)),
            cell,
            h("td", { class: "num hide-narrow" }, String(m.parts.length)),
            h("td", { class: "hide-narrow" }, m.modem || "—"),
            h("td", { class: "hide-narrow" }, when(m.updated)));
        })));
      const older = list.length === PAGE ? h("a", { class: "button secondary", href: `#/messages${query({ status, to, before: list[list.length - 1].id })}` }, "Older") : h("span");
      const newer = before ? h("a", { class: "button secondary", href: `#/messages${query({ status, to })}` }, "Newest") : h("span");
      fill(body, table, h("nav", { class: "pager", "aria-label": "Pages" }, newer, older));
    } catch (e) {
      fill(body, errorNotice(e));
    }
  }
  // A status event patches its row at once; new messages reload the first page.
  const stop = keepCurrent(load, (name, data) => {
    if (name !== "status") return false;
    latest.set(data.id, data.status);
    if (latest.size > 500) latest.delete(latest.keys().next().value);
    const cell = rows.get(data.id);
    if (cell && data.status !== "queued") {
      if (status && status !== data.status) return true;
      fill(cell, badge(data.status));
      return false;
    }
    return !before && !cell;
  });
  return stop;
}

// ---- One message ------------------------------------------------------------

const EVENT_TONE = { sent: "good", delivered: "good", failed: "bad", expired: "bad", "possibly duplicated": "warn", retry: "warn", released: "warn", canceled: "bad" };

export function message(main, params, id) {
  const body = h("div", {}, h("p", { class: "muted" }, "Loading…"));
  const title = h("h1", { tabindex: "-1" }, `Message #${id}`);
  fill(main, h("div", { class: "page-head" }, title, h("a", { href: "#/messages" }, "All messages")), body);
  // What came of pressing Cancel; kept across the reloads that follow.
  const outcome = h("div", { class: "stack" });
  let keyMaySend = null;  // asked once per page

  // Only a queued or scheduled message can be canceled, and a worker may
  // claim it between the page's read and the press: the gateway then answers
  // 409 naming the status it has, which the reload shows.
  async function cancel(button) {
    button.disabled = true;
    fill(outcome);
    try {
      await api(`/v1/messages/${id}`, { method: "DELETE" });
    } catch (e) {
      fill(outcome, e.status === 409
        ? h("p", { class: "notice warn", role: "status" }, `Too late to cancel: ${e.message}.`)
        : errorNotice(e));
    }
    load();
  }

  async function load() {
    let m;
    try {
      m = await api(`/v1/messages/${id}`);
    } catch (e) {
      fill(body, e.status === 404 ? emptyState("No such message", `There is no message #${id}.`) : errorNotice(e));
      return;
    }
    if (keyMaySend === null) keyMaySend = await maySend();
    const facts = [
      ["Status", h("span", { id: "message-status", role: "status" }, badge(m.status))],
      ["To", h("a", { href: `#/conversations/${encodeURIComponent(m.to)}` }, m.to)],
      ["Coding", m.coding], ["Parts", String(m.parts.length)], ["Modem", m.modem || "not yet"],
      ["Attempts", String(m.attempts)], ["Created", when(m.created, true)], ["Sent", when(m.sent, true)],
      ["Updated", when(m.updated, true)],
    ];
    if (m.reference) facts.push(["Your reference", m.reference]);
    if (m.validity) facts.push(["Validity", `${m.validity} min`]);
    if (m.flash) facts.push(["Flash", "yes"]);
    if (m.send_at) facts.push(["Scheduled", when(m.send_at, true)]);
    if (m.priority === "high") facts.push(["Priority", "high"]);
    if (m.target?.modem) facts.push(["Asked for modem", m.target.modem]);
    if (m.target?.tag) facts.push(["Asked for tag", m.target.tag]);
    const report = m.report
      ? h("p", {}, "Delivery report: ", badge(m.report.status), ` ${m.report.parts_delivered} of ${m.report.parts} parts delivered`)
      : h("p", { class: "muted" }, "No delivery report was asked for.");
    const error = m.last_error ? h("div", { class: "notice bad" },
      h("strong", {}, "Last error: "), m.last_error.message,
      m.last_error.meaning ? h("div", {}, `Meaning: ${m.last_error.meaning}`) : null,
      m.last_error.code !== null && m.last_error.code !== undefined ? h("div", { class: "mono" }, `Code ${m.last_error.code}`) : null) : null;
    const parts = h("table", { class: "table" },
      h("thead", {}, h("tr", {}, ["Part", "Reference", "Report"].map((t) => h("th", { scope: "col" }, t)))),
      h("tbody", {}, m.parts.map((p) => h("tr", {},
        h("td", { class: "num" }, String(p.index)),
        h("td", { class: "num" }, p.reference === null ? "—" : String(p.reference)),
        h("td", {}, p.report_status === null ? "—" : reportMeaning(p.report_status))))));
    const open = m.status === "queued" || m.status === "scheduled";
    const actions = !open ? null : keyMaySend
      ? h("div", { class: "actions" }, h("button", { type: "button", class: "danger", onclick: (e) => cancel(e.currentTarget) }, "Cancel message"))
      : h("p", { class: "muted" }, READ_ONLY);
    fill(body, h("div", { class: "grid detail" },
      h("div", { class: "stack" },
        h("section", { class: "card", "aria-label": "Message" },
          h("p", { class: "message-text" }, m.text),
          h("dl", { class: "facts" }, facts.map(([k, v]) => [h("dt", {}, k), h("dd", {}, v)])),
          actions ? h("div", { class: "stack" }, h("span"), actions) : null, outcome),
        error,
        h("section", { class: "card", "aria-labelledby": "parts-h" }, h("h2", { id: "parts-h" }, "Parts and report"), report, parts)),
      h("section", { class: "card", "aria-labelledby": "history-h" }, h("h2", { id: "history-h" }, "History"),
        h("ol", { class: "timeline" }, (m.history || []).map((e) => h("li", { class: EVENT_TONE[e.event] || "" },
          h("div", { class: "row-head" }, h("span", { class: "event" }, e.event), when(e.at, true)),
          e.detail ? h("div", { class: "detail" }, e.detail) : null))))));
  }
  return keepCurrent(load, (name, data) => data.id === Number(id) && (name === "status" || name === "report"));
}

// TP-Status: 0x00-0x1F done, 0x20-0x3F still trying, 0x40 and up given up.
function reportMeaning(code) {
  const hex = `0x${code.toString(16).padStart(2, "0")}`;
  if (code < 0x20) return `delivered (${hex})`;
  if (code < 0x40) return `still trying (${hex})`;
  return `not delivered (${hex})`;
}

// ---- Conversations --------------------------------------------------------

export function conversations(main) {
  const body = h("div", {}, h("p", { class: "muted" }, "Loading…"));
  fill(main, heading("Conversations"), h("section", { class: "card", "aria-label": "Conversations" }, body));
  async function load() {
    try {
      const { conversations: list } = await api("/v1/conversations?limit=100");
      fill(body, list.length
        ? h("ul", { class: "list" }, list.map((c) => h("li", {},
            h("a", { class: "row-link", href: `#/conversations/${encodeURIComponent(c.number)}` },
              h("div", { class: "row-head" }, h("strong", {}, c.number), when(c.last_at)),
              h("div", { class: "snippet" }, c.last_direction === "out" ? "You: " : "", c.last_text)))))
        : emptyState("No conversations yet", "Every number you send to or hear from gets a conversation here. Start one from Compose."));
    } catch (e) {
      fill(body, errorNotice(e));
    }
  }
  return keepCurrent(load, (name, data) => name === "message" || (name === "status" && data.status === "queued"));
}

export function conversation(main, params, number) {
  const thread = h("ol", { class: "thread", "aria-live": "polite", "aria-label": `Messages with ${number}` });
  const body = h("div", {}, h("p", { class: "muted" }, "Loading…"));
  const text = h("textarea", { id: "reply", name: "text", rows: "2", required: true });
  const error = h("p", { class: "error-text", role: "alert" });
  const send = h("button", { type: "submit" }, "Send");
  const form = h("form", { class: "reply", onsubmit: async (e) => {
      e.preventDefault();
      if (!text.value) return;
      send.disabled = true;
      error.textContent = "";
      try {
        await api("/v1/messages", { method: "POST", body: { to: number, text: text.value } });
        text.value = "";
        load();
      } catch (err) {
        error.textContent = err.message;
      } finally {
        send.disabled = false;
        text.focus();
      }
    } },
    h("div", { class: "field" }, h("label", { for: "reply" }, "Reply"), text), send);
  fill(main, h("div", { class: "page-head" }, h("h1", { tabindex: "-1" }, number), h("a", { href: "#/conversations" }, "All conversations")),
    h("section", { class: "card", "aria-label": "Conversation" }, body, form, error));
  maySend().then((yes) => { if (!yes) form.replaceWith(h("p", { class: "notice warn", role: "status" }, READ_ONLY)); });

  async function load() {
    try {
      const { messages: list } = await api(`/v1/conversations${query({ number, limit: 100 })}`);
      fill(thread, list.map((m) => h("li", { class: `bubble ${m.direction}` },
        h("div", { class: "text" }, m.text),
        h("div", { class: "meta" }, when(m.at), m.direction === "out"
          ? h("a", { href: `#/messages/${m.id}`, "aria-label": `Message ${m.id}: ${m.status}` }, badge(m.status)) : m.modem ? `via ${m.modem}` : null))));
      fill(body, list.length ? thread : emptyState("Nothing yet", `No messages to or from ${number} so far. Write the first below.`));
    } catch (e) {
      fill(body, errorNotice(e));
    }
  }
  return keepCurrent(load, (name, data) => (name === "message" && data.from === number) || (name === "status" && data.to === number));
}

// ---- Compose ----------------------------------------------------------------

// The routing fields: a modem by name or a tag of modems (not both), a
// priority, and a time to send at, given in the browser's zone and sent
// with its offset (UTC) so the gateway reads the same instant.
function routingFields() {
  const modem = h("select", { id: "c-modem" }, h("option", { value: "" }, "Any modem"));
  const tag = h("input", { id: "c-tag", type: "text", autocomplete: "off" });
  const priority = h("select", { id: "c-priority" }, h("option", { value: "normal" }, "Normal"), h("option", { value: "high" }, "High"));
  const sendAt = h("input", { id: "c-send-at", type: "datetime-local", "aria-describedby": "c-send-at-hint" });
  api("/v1/modems").then(({ modems: list }) => modem.append(...list.map((m) => h("option", { value: m.name }, m.name))), () => {});
  return {
    controls: [modem, tag, priority, sendAt],
    fields: [
      h("div", { class: "field" }, h("label", { for: "c-modem" }, "Modem"), modem),
      h("div", { class: "field" }, h("label", { for: "c-tag" }, "Tag"), tag),
      h("div", { class: "field" }, h("label", { for: "c-priority" }, "Priority"), priority),
      h("div", { class: "field" }, h("label", { for: "c-send-at" }, "Send at"), sendAt,
        h("span", { id: "c-send-at-hint", class: "hint" }, "Empty: now. Before then the message is scheduled and can be canceled.")),
    ],
    addTo(b) {
      if (modem.value) b.modem = modem.value;
      if (tag.value.trim()) b.tag = tag.value.trim();
      if (priority.value === "high") b.priority = "high";
      if (sendAt.value) b.send_at = new Date(sendAt.value).toISOString();
    },
  };
}

export function compose(main, params) {
  const to = h("input", { id: "c-to", name: "to", type: "tel", autocomplete: "off", required: true, value: params.get("to") || "", "aria-describedby": "c-to-error" });
  const text = h("textarea", { id: "c-text", name: "text", required: true, "aria-describedby": "c-plan c-text-error" });
  const toError = h("p", { id: "c-to-error", class: "error-text" });
  const textError = h("p", { id: "c-text-error", class: "error-text" });
  const plan = h("div", { id: "c-plan", class: "plan", "aria-live": "polite" }, "Type a message to see its coding and parts.");
  const coding = h("select", { id: "c-coding" }, h("option", { value: "auto" }, "Automatic"), h("option", { value: "7bit" }, "GSM 7-bit"), h("option", { value: "ucs2" }, "UCS2 (Unicode)"));
  const report = h("input", { id: "c-report", type: "checkbox" });
  const flash = h("input", { id: "c-flash", type: "checkbox" });
  const validity = h("input", { id: "c-validity", type: "number", min: "5", step: "1", inputmode: "numeric" });
  const routing = routingFields();
  const formError = h("div", { role: "alert" });
  const send = h("button", { type: "submit" }, "Send");

  function body() {
    const b = { to: to.value.trim(), text: text.value, coding: coding.value };
    if (report.checked) b.report = true;
    if (flash.checked) b.flash = true;
    if (validity.value) b.validity = Number(validity.value);
    routing.addTo(b);
    return b;
  }

  // An error on "to" shows under To; any other (text, coding, send_at...)
  // under Message, where the plan is read.
  function showFieldError(error) {
    const onTo = error.field === "to";
    toError.textContent = onTo ? error.message : "";
    to.setAttribute("aria-invalid", onTo ? "true" : "false");
    textError.textContent = onTo ? "" : error.message;
  }

  let planned = 0;
  async function updatePlan() {
    const ticket = ++planned;
    try {
      const p = await api("/v1/messages/plan", { method: "POST", body: body() });
      if (ticket !== planned) return;
      toError.textContent = "";
      textError.textContent = "";
      to.removeAttribute("aria-invalid");
      fill(plan, h("span", {}, "Coding ", h("strong", { id: "c-coding-shown" }, p.coding === "ucs2" ? "UCS2" : "GSM 7-bit")),
        h("span", {}, h("strong", { id: "c-parts" }, String(p.parts)), p.parts === 1 ? " part" : " parts"),
        h("span", {}, h("strong", {}, String(p.characters_left)), " characters left in this part"));
    } catch (e) {
      if (ticket !== planned) return;
      if (e.field && to.value.trim() === "" && e.field === "to") return;
      showFieldError(e);
    }
  }
  let timer = null;
  const planSoon = () => { clearTimeout(timer); timer = setTimeout(updatePlan, 120); };
  for (const el of [to, text]) el.addEventListener("input", planSoon);
  for (const el of [coding, report, flash, validity, ...routing.controls]) el.addEventListener("change", planSoon);

  const form = h("form", { novalidate: true, onsubmit: async (e) => {
      e.preventDefault();
      fill(formError);
      if (!to.value.trim()) { showFieldError({ field: "to", message: "Enter the number to send to." }); to.focus(); return; }
      if (!text.value) { showFieldError({ field: "text", message: "Write the message." }); text.focus(); return; }
      send.disabled = true;
      try {
        const { id } = await api("/v1/messages", { method: "POST", body: body() });
        location.hash = `#/messages/${id}`;
      } catch (err) {
        if (err.field === "to" || err.field === "text") showFieldError(err);
        else fill(formError, errorNotice(err));  // the modem, tag or scope, named by the gateway
        send.disabled = false;
      }
    } },
    h("div", { class: "field" }, h("label", { for: "c-to" }, "To"), to, h("span", { class: "hint" }, "International form, e.g. +4915112345678"), toError),
    h("div", { class: "field" }, h("label", { for: "c-text" }, "Message"), text, plan, textError),
    h("details", {}, h("summary", {}, "Options"),
      h("div", { class: "options" },
        h("div", { class: "field" }, h("label", { for: "c-coding" }, "Coding"), coding),
        h("div", { class: "field" }, h("label", { for: "c-validity" }, "Validity (minutes)"), validity),
        h("div", {}, h("label", { class: "check" }, report, "Delivery report"), h("label", { class: "check" }, flash, "Flash message")),
        routing.fields)),
    formError,
    h("div", { class: "actions" }, send));
  fill(main, heading("Compose"), h("section", { class: "card" }, form));

  // A read-only key cannot send: say so instead of a form that fails.
  maySend().then((yes) => {
    if (yes) return;
    form.prepend(h("p", { class: "notice warn", role: "status" }, READ_ONLY));
    for (const el of form.elements) el.disabled = true;
  });
  if (to.value) text.focus();
  return () => clearTimeout(timer);
}

// ---- Modems -------------------------------------------------------------------

function signalBars(rssi) {
  const known = rssi >= 0 && rssi <= 31;
  const bars = !known ? 0 : rssi < 2 ? 0 : rssi < 10 ? 1 : rssi < 15 ? 2 : rssi < 20 ? 3 : 4;
  const label = known ? `${-113 + 2 * rssi} dBm` : "unknown";
  return h("span", { class: "signal" },
    h("span", { class: `bars b${bars}`, "aria-hidden": "true" }, h("span"), h("span"), h("span"), h("span")),
    h("span", { class: "num" }, label));
}

// Limits as the gateway gives them: {name: {used, limit|remaining, ...}}.
function limitsView(limits) {
  const entries = Array.isArray(limits) ? limits.map((l) => [l.name || l.period || "limit", l]) : Object.entries(limits);
  return h("div", { class: "stack" }, entries.map(([name, l]) => {
    const used = Number(l.used ?? 0);
    const max = Number(l.limit ?? l.max ?? (l.remaining !== undefined ? used + Number(l.remaining) : 0));
    return h("div", {},
      h("div", { class: "row-head" }, h("span", {}, name), h("span", { class: "num" }, max ? `${used} of ${max} used` : `${used} used`)),
      max ? h("progress", { max: String(max), value: String(Math.min(used, max)), "aria-label": `${name}: ${used} of ${max} used` }) : null);
  }));
}

export function modems(main) {
  const body = h("div", {}, h("p", { class: "muted" }, "Loading…"));
  fill(main, heading("Modems"), body);
  async function load() {
    try {
      const { modems: list } = await api("/v1/modems");
      if (!list.length) {
        fill(body, h("div", { class: "card" }, emptyState("No modems", "Start the gateway with --modem DEVICE (or without one, for simulated modems).")));
        return;
      }
      fill(body, h("div", { class: "modems" }, list.map((m) => h("section", { class: "card modem", "aria-label": `Modem ${m.name}`, "data-modem": m.name },
        h("div", { class: "modem-head" }, h("h2", {}, m.name), h("span", { class: "modem-state" }, badge(m.state))),
        h("dl", { class: "facts" },
          h("dt", {}, "Device"), h("dd", { class: "mono" }, m.device || "—"),
          h("dt", {}, "Signal"), h("dd", {}, signalBars(m.signal)),
          h("dt", {}, "Operator"), h("dd", {}, m.operator || "—"),
          m.balance !== undefined && m.balance !== null
            ? [h("dt", {}, "Balance"), h("dd", {}, String(m.balance), m.balance_at ? h("span", { class: "muted" }, " read ", when(m.balance_at)) : null)]
            : null,
          m.resets ? [h("dt", {}, "Resets"), h("dd", {}, String(m.resets), m.last_reset ? h("span", { class: "muted" }, ", the last ", when(m.last_reset)) : null)] : null),
        m.last_error ? h("p", { class: "notice bad" }, h("strong", {}, "Last error: "), m.last_error) : null,
        h("dl", { class: "counters" }, [["Sent", m.sent], ["Failed", m.failed], ["Delivered", m.delivered], ["Received", m.received]]
          .map(([k, v]) => h("div", {}, h("dt", {}, k), h("dd", {}, String(v))))),
        m.limits ? h("div", { class: "stack" }, h("span"), h("h3", { class: "label" }, "Limits"), limitsView(m.limits)) : null))));
    } catch (e) {
      fill(body, errorNotice(e));
    }
  }
  return keepCurrent(load, () => false, MODEM_POLL_MS);
}
