// gateway/console/app.js - the console's entry: signing in and out, the
// navigation (the part after "#", so the gateway serves one page) and the
// live indicator. The pages are in pages.js.

import { h, fill } from "./dom.js";
import { api, session, whenUnauthorised } from "./api.js";
import { startLive, stopLive, onLiveState } from "./live.js";
import * as pages from "./pages.js";

const main = document.getElementById("main");
const top = document.getElementById("top");
const live = document.getElementById("live");
let leave = () => {};

const ROUTES = [
  [/^\/?$/, (p) => pages.overview(main, p)],
  [/^\/messages$/, (p) => pages.messages(main, p)],
  [/^\/messages\/(\d+)$/, (p, id) => pages.message(main, p, id)],
  [/^\/conversations$/, (p) => pages.conversations(main, p)],
  [/^\/conversations\/(.+)$/, (p, n) => pages.conversation(main, p, decodeURIComponent(n))],
  [/^\/compose$/, (p) => pages.compose(main, p)],
  [/^\/modems$/, (p) => pages.modems(main, p)],
];
const TITLES = { "": "Overview", messages: "Messages", conversations: "Conversations", compose: "Compose", modems: "Modems" };

function route() {
  leave();
  leave = () => {};
  if (!session.key) return showSignIn();
  const [path, search = ""] = location.hash.replace(/^#/, "").split("?");
  const params = new URLSearchParams(search);
  const section = path.split("/")[1] || "";
  for (const a of top.querySelectorAll(".nav a")) {
    const target = a.getAttribute("href").slice(2);
    if (target === section) a.setAttribute("aria-current", "page");
    else a.removeAttribute("aria-current");
  }
  document.title = `${TITLES[section] || "Reviri"} · Reviri gateway`;
  const found = ROUTES.find(([re]) => re.test(path));
  if (!found) {
    fill(main, h("h1", { tabindex: "-1" }, "Not found"), h("p", {}, "This page does not exist. ", h("a", { href: "#/" }, "Go to the overview.")));
  } else {
    leave = found[1](params, ...path.match(found[0]).slice(1)) || (() => {});
  }
  // Where a keyboard or screen reader user expects to be after moving on.
  if (document.activeElement && document.activeElement.closest && document.activeElement.closest(".nav")) {
    main.querySelector("h1")?.focus();
  }
}

function showSignIn(message) {
  stopLive();
  top.hidden = true;
  document.title = "Sign in · Reviri gateway";
  const key = h("input", { id: "api-key", name: "key", type: "password", autocomplete: "current-password", required: true, "aria-describedby": "key-hint key-error" });
  const error = h("p", { id: "key-error", class: "error-text", role: "alert" }, message || "");
  const button = h("button", { type: "submit" }, "Sign in");
  const form = h("form", { class: "card", onsubmit: async (e) => {
      e.preventDefault();
      const value = key.value.trim();
      if (!value) { error.textContent = "Enter the API key."; key.focus(); return; }
      button.disabled = true;
      error.textContent = "";
      try {
        await api("/v1/summary?since=0", { key: value });
        session.signIn(value);
        signedIn();
      } catch (err) {
        error.textContent = err.status === 401 ? "That API key is wrong. Check it and try again." : err.message;
        key.setAttribute("aria-invalid", "true");
        key.select();
        button.disabled = false;
      }
    } },
    h("h1", { tabindex: "-1" }, "Sign in"),
    h("div", { class: "field" }, h("label", { for: "api-key" }, "API key"), key,
      h("span", { id: "key-hint", class: "hint" }, "The gateway's API token (its --token-file). It is kept for this tab only.")),
    error, button);
  fill(main, h("div", { class: "signin" }, h("div", { class: "brand" }, h("img", { src: document.querySelector("link[rel=icon]").href, alt: "" }), "Reviri gateway"), form));
  key.focus();
}

function signedIn() {
  top.hidden = false;
  route();  // the page's data first, the stream after it
  startLive();
  main.querySelector("h1")?.focus();
}

function signOut(message) {
  session.signOut();
  leave();
  leave = () => {};
  showSignIn(message);
}

onLiveState((state) => {
  live.className = `live ${state}`;
  live.textContent = state === "on" ? "Live" : state === "off" ? "Reconnecting…" : "Connecting…";
});
whenUnauthorised(() => signOut("The API key is no longer accepted. Sign in again."));
document.getElementById("sign-out").addEventListener("click", () => signOut());
window.addEventListener("hashchange", route);
// A page left for another keeps no stream open: a browser holds only six
// connections to one HTTP/1.1 host, and pages kept for "back" would use them up.
window.addEventListener("pagehide", () => stopLive());
window.addEventListener("pageshow", (e) => { if (e.persisted && session.key) { startLive(); route(); } });
if (session.key) signedIn();
else showSignIn();
