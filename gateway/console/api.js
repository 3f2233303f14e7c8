// gateway/console/api.js - the gateway's HTTP API with the key of this tab.
// The key lives in sessionStorage (this tab only, gone when it closes) and
// goes out only in the Authorization header, never in a URL.

const KEY = "reviri.apiKey";

export const session = {
  get key() { return sessionStorage.getItem(KEY) || ""; },
  signIn(key) { sessionStorage.setItem(KEY, key); },
  signOut() { sessionStorage.removeItem(KEY); },
};

export class ApiError extends Error {
  constructor(status, message, field) {
    super(message);
    this.status = status;
    this.field = field || "";
  }
}

let onUnauthorised = () => {};
export function whenUnauthorised(fn) { onUnauthorised = fn; }

// fetch() with the key; JSON in and out; throws ApiError with the gateway's
// own message. `key` overrides the session's (signing in).
export async function api(path, { method = "GET", body, key, raw = false } = {}) {
  const headers = { Authorization: `Bearer ${key ?? session.key}` };
  if (body !== undefined) headers["Content-Type"] = "application/json";
  let res;
  try {
    res = await fetch(path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body), cache: "no-store" });
  } catch {
    throw new ApiError(0, "The gateway does not answer. Is it running?");
  }
  if (raw) return res;
  const text = await res.text();
  let data = {};
  try { data = text ? JSON.parse(text) : {}; } catch { data = { error: text }; }
  if (!res.ok) {
    if (res.status === 401 && key === undefined) onUnauthorised();
    throw new ApiError(res.status, data.error || `The gateway answered ${res.status}`, data.field);
  }
  return data;
}

// Whether this key may send (and cancel): a key of the API-keys work may
// hold only the read scope. Asked once per key, of the planner, which
// changes nothing: 403 means no; any other answer means yes (a gateway
// that does not answer is reported where a page calls it).
let sendCheck = { key: null, answer: null };
export function maySend() {
  if (sendCheck.key !== session.key) {
    sendCheck = { key: session.key, answer: api("/v1/messages/plan", { method: "POST", body: { text: "" } })
      .then(() => true, (e) => e.status !== 403) };
  }
  return sendCheck.answer;
}

// What the page says where a read-only key meets a sending control.
export const READ_ONLY = "This key has only the read scope: sending and canceling need a key with the send scope (reviri gateway key add NAME --scope send,read).";
