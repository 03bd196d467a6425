// The send form: the daemon counts the text as it will cut it, and the message sent is
// followed to its end.

import { call } from "./api.js";
import { el, replaceIfChanged } from "./dom.js";
import { t } from "./i18n.js";

const $ = (id) => document.getElementById(id);
let followed = null; // the id of the message last sent here
let counting = 0; // the latest count asked for; older answers are dropped
let timer = null;

async function count() {
  const text = $("send-text").value;
  const asked = ++counting;
  if (!text) {
    $("send-count").textContent = t("countEmpty");
    return;
  }
  try {
    const modem = $("send-modem").value;
    const reply = await call("POST", "/v1/messages/count", modem ? { text, modem } : { text });
    if (asked !== counting) {
      return;
    }
    const concatenated = reply.parts > 1;
    const room = reply.encoding === "gsm" ? (concatenated ? 153 : 160) : concatenated ? 67 : 70;
    $("send-count").textContent = reply.refused
      ? t("tooLong", { why: reply.refused })
      : t("count", {
          chars: reply.characters,
          units: reply.units,
          unit: reply.encoding === "gsm" ? t("septets") : t("ucs2units"),
          room,
          parts: reply.parts,
          encoding: reply.encoding === "gsm" ? "GSM 7-bit" : "UCS2",
        });
    $("send-count").dataset.parts = reply.parts;
    $("send-count").dataset.encoding = reply.encoding;
  } catch (error) {
    if (asked === counting) {
      $("send-count").textContent = error.message;
    }
  }
}

// Counted after a short pause in the typing, so that every key does not ask the daemon.
function countSoon() {
  clearTimeout(timer);
  timer = setTimeout(count, 150);
}

async function send(event, refresh) {
  event.preventDefault();
  $("send-error").textContent = "";
  const body = { to: $("send-to").value.trim(), text: $("send-text").value };
  if ($("send-modem").value) {
    body.modem = $("send-modem").value;
  }
  try {
    const reply = await call("POST", "/v1/messages", body);
    followed = reply.id;
    $("send-result").textContent = t("queued", { id: reply.id, state: "queued" });
    $("send-result").dataset.id = reply.id;
  } catch (error) {
    $("send-error").textContent = error.message;
  }
  refresh();
}

export function forgetSent() {
  followed = null;
  $("send-result").textContent = "";
  delete $("send-result").dataset.id;
}

export function setUpSend(refresh) {
  $("send-text").addEventListener("input", countSoon);
  $("send-modem").addEventListener("change", countSoon);
  $("send").addEventListener("submit", (event) => send(event, refresh));
  $("send-count").textContent = t("countEmpty");
}

export async function renderSend() {
  const modems = await call("GET", "/v1/modems");
  const select = $("send-modem");
  const names = modems.modems.map((m) => m.name);
  const chosen = select.value;
  replaceIfChanged(select, names, () => [
    el("option", "", t("anyModem")),
    ...names.map((name) => el("option", "", name)),
  ]);
  select.options[0].value = "";
  select.value = names.includes(chosen) ? chosen : "";
  if (followed !== null) {
    const m = await call("GET", "/v1/messages/" + followed);
    const state = m.state + (m.state === "sent" && m.delivery !== "off" ? " · " + m.delivery : "");
    $("send-result").textContent = t("queued", { id: m.id, state });
    $("send-result").dataset.state = state;
  }
}
