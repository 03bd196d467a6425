// tarvikd's console: sign-in, the pages, and a refresh of the page shown once a second.

import { ApiError, call, forgetKey, keepKey, storedKey } from "./api.js";
import { el, replaceIfChanged, row, show, time } from "./dom.js";
import { t, translate } from "./i18n.js";
import { forgetSent, renderSend, setUpSend } from "./send.js";

const $ = (id) => document.getElementById(id);
const pages = ["signin", "overview", "outbox", "inbox", "send"];
let current = "signin";
let selected = null; // the outgoing message whose detail is shown

function open(page) {
  current = page;
  for (const name of pages) {
    show($("page-" + name), name === page);
    const tab = $("tab-" + name);
    if (tab) {
      tab.classList.toggle("active", name === page);
      tab.setAttribute("aria-current", name === page ? "page" : "false");
    }
  }
  show($("tabs"), page !== "signin");
  show($("signout"), page !== "signin");
  refresh();
}

async function signIn(event) {
  event.preventDefault();
  const key = $("key").value.trim();
  $("signin-error").textContent = "";
  if (!key) {
    $("signin-error").textContent = t("keyNeeded");
    return;
  }
  try {
    await call("GET", "/v1/modems", undefined, key);
  } catch (error) {
    $("signin-error").textContent =
      error.status === 401 ? t("keyUnknown") : t("unreachable") + " " + error.message;
    return;
  }
  keepKey(key);
  $("key").value = "";
  open("overview");
}

// Nothing of the last key's session stays on the page.
function signOut() {
  forgetKey();
  selected = null;
  forgetSent();
  $("status").textContent = "";
  open("signin");
}

function figures(list, entries) {
  replaceIfChanged(list, entries, () => {
    if (entries.length === 0) {
      return [el("dd", "note", t("nothing"))];
    }
    return entries.flatMap(([name, value]) => [el("dt", "", name), el("dd", "", String(value))]);
  });
}

function signal(modem) {
  const parts = [];
  if (modem.signal_quality !== null) {
    parts.push(modem.signal_quality + "/5");
  }
  if (modem.signal_dbm !== null) {
    parts.push(modem.signal_dbm + " dBm");
  }
  return parts.join(" · ");
}

function storage(modem) {
  if (modem.storage_used === null) {
    return "";
  }
  return modem.storage_used + " / " + (modem.storage_total ?? "?");
}

function modemRow(modem) {
  const line = row(
    modem.name,
    el("td", "", el("span", "state state-" + modem.state, modem.state)),
    modem.registration ?? "",
    modem.operator ?? "",
    signal(modem),
    storage(modem),
    modem.in_rotation ? t("inRotation") : t("outOfRotation"),
    String(modem.restarts),
    // A ready modem's last error is history, not its state.
    el("td", modem.state === "ready" ? "error past" : "error", modem.last_error ?? ""),
  );
  line.dataset.modem = modem.name;
  return line;
}

async function renderOverview() {
  const [modems, summary] = await Promise.all([
    call("GET", "/v1/modems"),
    call("GET", "/v1/summary"),
  ]);
  show($("modems-empty"), modems.modems.length === 0);
  replaceIfChanged($("modems").tBodies[0], modems.modems, () => modems.modems.map(modemRow));
  figures($("queue"), Object.entries(summary.outgoing));
  figures($("day"), [
    [t("sent"), summary.sent],
    [t("delivered"), summary.delivered],
    [t("undelivered"), summary.undelivered],
    [t("received"), summary.received],
  ]);
}

async function cancel(id) {
  try {
    await call("DELETE", "/v1/messages/" + id);
    $("outbox-error").textContent = "";
  } catch (error) {
    $("outbox-error").textContent = error.message;
  }
  refresh();
}

function outRow(m) {
  const action = el("td", "");
  if (m.state === "queued") {
    const button = el("button", "quiet cancel", t("cancel"));
    button.type = "button";
    button.addEventListener("click", (event) => {
      event.stopPropagation();
      cancel(m.id);
    });
    action.append(button);
  }
  const line = row(
    String(m.id),
    m.to,
    el("td", "", el("span", "state state-" + m.state, m.state)),
    // Delivery is news only of a message that went: a queued one's reports are still owed.
    el(
      "td",
      "",
      m.state === "sent" ? el("span", "delivery delivery-" + m.delivery, m.delivery) : "",
    ),
    m.parts ? m.parts_accepted + "/" + m.parts : "",
    m.via ?? m.modem ?? "",
    time(m.created_at),
    el("td", "text", m.text),
    action,
  );
  line.dataset.id = m.id;
  line.classList.toggle("selected", m.id === selected);
  line.addEventListener("click", () => {
    selected = m.id;
    refresh();
  });
  return line;
}

function field(name, value) {
  const shown = value === null || value === undefined ? "" : String(value);
  return [el("dt", "", name), el("dd", "", shown)];
}

async function renderDetail() {
  show($("detail"), selected !== null);
  if (selected === null) {
    return;
  }
  const m = await call("GET", "/v1/messages/" + selected);
  $("detail-title").textContent = t("message", { id: m.id });
  replaceIfChanged($("detail-fields"), m, () => [
    ...field(t("to"), m.to),
    ...field(t("state"), m.state),
    ...field(t("delivery"), m.delivery),
    ...field(t("parts"), m.parts_accepted + "/" + m.parts),
    ...field(t("modem"), m.modem),
    ...field(t("via"), m.via),
    ...field(t("attempts"), m.attempts),
    ...field(t("error"), m.error),
    ...field(t("text"), m.text),
  ]);
  replaceIfChanged($("detail-history").tBodies[0], m.history, () =>
    m.history.map((h) => row(time(h.at), h.state, h.detail)),
  );
}

async function renderOutbox() {
  const filter = $("outbox-filter").value;
  const only = filter ? "&state=" + encodeURIComponent(filter) : "";
  const list = await call("GET", "/v1/messages?direction=out&order=newest&limit=200" + only);
  const shown = list.messages;
  replaceIfChanged($("outbox").tBodies[0], [shown, selected], () => shown.map(outRow));
  await renderDetail();
}

function webhook(m) {
  if (!m.webhook) {
    return "";
  }
  return m.webhook.state + (m.webhook.error ? ": " + m.webhook.error : "");
}

function inRow(m) {
  const parts =
    m.parts + (m.complete ? "" : " (" + t("missing") + " " + m.missing.join(", ") + ")");
  const line = row(
    String(m.id),
    m.from,
    el("td", "text", m.text),
    el("td", "parts", parts),
    el("td", "complete", m.complete ? t("yes") : "✗"),
    m.modem,
    time(m.created_at),
    webhook(m),
  );
  line.dataset.id = m.id;
  return line;
}

async function renderInbox() {
  const list = await call("GET", "/v1/messages?direction=in&order=newest&limit=200");
  replaceIfChanged($("inbox").tBodies[0], list.messages, () => list.messages.map(inRow));
}

const renderers = {
  overview: renderOverview,
  outbox: renderOutbox,
  inbox: renderInbox,
  send: renderSend,
};

let busy = false;

// One refresh at a time: a slow daemon is asked again only once it answered.
async function refresh() {
  const render = renderers[current];
  if (!render || busy) {
    return;
  }
  busy = true;
  try {
    await render();
    $("status").textContent = t("live");
    $("status").className = "status live";
  } catch (error) {
    if (error instanceof ApiError && error.status === 401) {
      signOut();
      $("signin-error").textContent = t("keyUnknown");
    } else {
      $("status").textContent = t("stale", { why: error.message });
      $("status").className = "status stale";
    }
  } finally {
    busy = false;
  }
}

function start() {
  translate(document);
  $("signin").addEventListener("submit", signIn);
  $("signout").addEventListener("click", signOut);
  for (const name of pages) {
    const tab = $("tab-" + name);
    if (tab) {
      tab.addEventListener("click", () => open(name));
    }
  }
  $("outbox-filter").addEventListener("change", refresh);
  setUpSend(refresh);
  open(storedKey() ? "overview" : "signin");
  setInterval(refresh, 1000);
}

start();
