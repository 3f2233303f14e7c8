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

// Whether the gateway takes `method` on `path`: a method it does not take
// is answered 405 with the ones it does in Allow.
export async function allows(path, method) {
  try {
    const res = await api(path, { method: "OPTIONS", raw: true });
    const allow = res.headers.get("Allow") || "";
    return allow.split(",").map((m) => m.trim()).includes(method);
  } catch {
    return false;
  }
}
