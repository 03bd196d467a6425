#!/usr/bin/env python3
"""tarvikd's web console in a headless Chromium, as an operator uses it: a wrong key refused,
the sign-in, the overview while no modem is ready, a long message sent from the form and
followed to `delivered`, its joined copy in the inbox, a queued message cancelled, hostile
texts shown as text; then the same pages on a PostgreSQL store.

Usage: console_test.py BIN_DIR [SHOTS_DIR]   (SHOTS_DIR: also take the documentation's
pictures, console-en.png, console-zh.png, console-send-en.png and console-send-zh.png)"""
import os
import sys

try:
    from selenium import webdriver
    from selenium.common.exceptions import (NoAlertPresentException, NoSuchElementException,
                                            StaleElementReferenceException, WebDriverException)
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select
except ImportError:
    # Debian's package is for Debian's Python; another one first on PATH lacks it.
    if os.path.exists("/usr/bin/python3") and sys.executable != "/usr/bin/python3":
        os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
    print("FAIL (console): python3-selenium is missing: apt-get install python3-selenium")
    sys.exit(1)

CHROMIUM, DRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
for program, package in ((CHROMIUM, "chromium"), (DRIVER, "chromium-driver")):
    if not os.path.exists(program):
        print(f"FAIL (console): {program} is missing: apt-get install {package}")
        sys.exit(1)

HERE = os.path.dirname(os.path.abspath(__file__))
CONSOLE = os.path.join(os.path.dirname(os.path.dirname(HERE)), "gateway", "console")
BIN = sys.argv[1]
SHOTS = sys.argv[2] if len(sys.argv) > 2 else None
sys.argv = [sys.argv[0], "console", BIN]  # the helpers read their case and programs here
sys.path.insert(0, HERE)
import gateway_test as gw  # noqa: E402
import pg_cluster  # noqa: E402

HOSTILE = ["<script>alert(1)</script>", "<img src=x onerror=alert(2)>"]
LONG = ("The console counts this text as the daemon cuts it. " * 4).strip()  # 2 parts
ENGLISH_UNKNOWN = "This API key is not known to the daemon."


def browser(language):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--disable-gpu", f"--lang={language}", "--window-size=1280,860"):
        options.add_argument(argument)
    options.add_experimental_option("prefs", {"intl.accept_languages": language})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    try:
        driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    except WebDriverException as e:
        gw.fail(f"chromium does not start: {e.msg}")
    gw.cleanups.append(driver.quit)
    return driver


def seen(what, check, seconds=60):
    """Waits for what the page shows; an element replaced meanwhile is looked up again."""
    def look():
        try:
            return check()
        except (StaleElementReferenceException, NoSuchElementException):
            return None
    return gw.wait_for(what, look, seconds, step=0.2)


def by_id(driver, ident):
    return driver.find_element(By.ID, ident)


def cells(driver, table, ident):
    """The texts of the row of `table` for message or modem `ident`; None before it shows."""
    rows = driver.find_elements(By.CSS_SELECTOR, f"#{table} tbody tr[data-id='{ident}'], "
                                                 f"#{table} tbody tr[data-modem='{ident}']")
    return [c.text for c in rows[0].find_elements(By.TAG_NAME, "td")] if rows else None


def no_errors(driver, allowed=()):
    """Fails on the page's errors (a refused script or style among them) but those allowed."""
    logged = [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE" and
              not any(a in e["message"] for a in allowed)]
    if logged:
        gw.fail(f"the pages logged errors: {logged}")


def open_tab(driver, name):
    by_id(driver, f"tab-{name}").click()
    seen(f"the {name} page", lambda: by_id(driver, f"page-{name}").is_displayed())


def sign_in(driver):
    seen("the sign-in form", lambda: by_id(driver, "key").is_displayed())
    by_id(driver, "key").send_keys("wrong-key-0123456789")
    by_id(driver, "signin-button").click()
    seen("the wrong key refused",
         lambda: by_id(driver, "signin-error").text == ENGLISH_UNKNOWN)
    if by_id(driver, "page-overview").is_displayed():
        gw.fail("a wrong key opened the console")
    by_id(driver, "key").clear()
    by_id(driver, "key").send_keys(gw.KEY)
    by_id(driver, "signin-button").click()
    seen("the overview", lambda: by_id(driver, "page-overview").is_displayed())
    if gw.KEY in driver.current_url:
        gw.fail(f"the key is in the address: {driver.current_url}")
    if driver.execute_script("return sessionStorage.length") != 1 or \
            driver.execute_script("return localStorage.length") != 0:
        gw.fail("the key is kept elsewhere than in the tab's session storage")


def send_from_form(driver, to, modem, text):
    open_tab(driver, "send")
    by_id(driver, "send-to").clear()
    by_id(driver, "send-to").send_keys(to)
    seen(f"modem {modem} to choose", lambda: Select(by_id(driver, "send-modem"))
         .select_by_visible_text(modem) is None)
    by_id(driver, "send-text").clear()
    by_id(driver, "send-text").send_keys(text)
    counted = gw.expect(gw.call("POST", "/v1/messages/count", {"text": text, "modem": modem}),
                        200, "the count")
    seen("the count of the text", lambda: by_id(driver, "send-count")
         .get_attribute("data-parts") == str(counted["parts"]) and
         f"{len(text)} " in by_id(driver, "send-count").text)
    by_id(driver, "send-button").click()
    return int(seen("the message queued", lambda: by_id(driver, "send-result")
                    .get_attribute("data-id")))


def overview_without_ready_modem(driver):
    open_tab(driver, "overview")
    for name in ("a", "b"):
        row = seen(f"modem {name} on the overview", lambda: cells(driver, "modems", name))
        if row[1] == "ready":
            gw.fail(f"modem {name} is shown ready before its simulator runs: {row}")
    seen("an empty queue", lambda: by_id(driver, "queue").text == "none")


def long_message_delivered(driver):
    ident = send_from_form(driver, gw.OWN[3], "a", LONG)
    seen("the message delivered on the form",
         lambda: "delivered" in by_id(driver, "send-result").text, seconds=90)
    open_tab(driver, "outbox")
    row = seen("the message in the outbox", lambda: cells(driver, "outbox", ident))
    if row[2:5] != ["sent", "delivered", "2/2"] or row[7] != LONG:
        gw.fail(f"the outbox row: {row}")
    driver.find_element(By.CSS_SELECTOR, f"#outbox tbody tr[data-id='{ident}']").click()
    seen("the message's history", lambda: len(driver.find_elements(
        By.CSS_SELECTOR, "#detail-history tbody tr")) >= 3 and
        by_id(driver, "detail-title").text == f"Message {ident}")
    open_tab(driver, "inbox")
    joined = lambda: [r for r in driver.find_elements(By.CSS_SELECTOR, "#inbox tbody tr")
                      if r.find_element(By.CSS_SELECTOR, "td.text").text == LONG]
    row = seen("the joined message in the inbox", joined)[0]
    parts = row.find_element(By.CSS_SELECTOR, "td.parts").text
    if len(joined()) != 1 or parts != "2" or \
            row.find_element(By.CSS_SELECTOR, "td.complete").text != "yes":
        gw.fail(f"the joined message: {row.text}")


def hostile_texts_are_text(driver):
    open_tab(driver, "inbox")
    for text in HOSTILE:
        seen(f"{text} in the inbox", lambda: [
            c for c in driver.find_elements(By.CSS_SELECTOR, "#inbox td.text")
            if c.get_attribute("textContent") == text])
    if driver.find_elements(By.CSS_SELECTOR, "#inbox img, #inbox script, main img"):
        gw.fail("a received text became an element")
    try:
        gw.fail(f"a received text ran: an alert says {driver.switch_to.alert.text}")
    except NoAlertPresentException:
        pass


def queued_message_cancelled(driver):
    ident = send_from_form(driver, gw.OWN[4], "b", "for the modem that is down")
    open_tab(driver, "outbox")
    seen("the queued message", lambda: (cells(driver, "outbox", ident) or [""] * 3)[2] == "queued")
    Select(by_id(driver, "outbox-filter")).select_by_value("queued")
    seen("the cancel button", lambda: driver.find_element(
        By.CSS_SELECTOR, f"#outbox tbody tr[data-id='{ident}'] button.cancel").click() is None)
    seen("the queued list without it", lambda: cells(driver, "outbox", ident) is None)
    Select(by_id(driver, "outbox-filter")).select_by_value("")
    seen("the message cancelled", lambda: (cells(driver, "outbox", ident) or [""] * 3)[2] ==
         "cancelled")
    if gw.message(ident)["state"] != "cancelled":
        gw.fail(f"the cancelled message: {gw.message(ident)}")


def take_pictures(language, suffix):
    driver = browser(language)
    driver.get(f"http://127.0.0.1:{gw.HTTP_PORT}/")
    seen("the sign-in form", lambda: by_id(driver, "key").is_displayed())
    by_id(driver, "key").send_keys(gw.KEY)
    by_id(driver, "signin-button").click()
    seen("the overview", lambda: by_id(driver, "day").text not in ("", "none"))
    driver.save_screenshot(os.path.join(SHOTS, f"console-{suffix}.png"))
    open_tab(driver, "send")
    by_id(driver, "send-to").send_keys(gw.OWN[3])
    typed = "你好！这是一条测试短信。" if suffix == "zh" else LONG
    by_id(driver, "send-text").send_keys(typed)
    seen("the count", lambda: by_id(driver, "send-count").get_attribute("data-parts"))
    driver.save_screenshot(os.path.join(SHOTS, f"console-send-{suffix}.png"))
    driver.quit()
    gw.cleanups.remove(driver.quit)


def served_as_files_only():
    """What the HTTP server hands a browser, encoded paths included: the console's own files
    with their guard headers, nothing beside them."""
    status, _, headers = gw.call("HEAD", "/", auth=None)
    policy = headers.get("Content-Security-Policy", "")
    if status != 200 or "default-src 'self'" not in policy or "unsafe" in policy or \
            headers.get("X-Content-Type-Options") != "nosniff":
        gw.fail(f"HEAD / answered {status} with {headers}")
    for path in ("/%2e%2e/%2e%2e/README.md", "/..%2f..%2fREADME.md", "/%2E%2E/CMakeLists.txt",
                 "/./app.js", "/app.js%00.html", "/../console/app.js"):
        status, body, _ = gw.call("GET", path, auth=None)
        if status != 404:
            gw.fail(f"{path} answered {status}: {str(body)[:200]}")
    if gw.call("POST", "/index.html", {}, auth=None)[0] != 405:
        gw.fail("a POST to the console was taken")


def on_sqlite(driver):
    gw.write_config([("a", 3), ("b", 4)],
                    f'console_dir = "{CONSOLE}"\nreroute = false\nretry_base_ms = 200')
    gw.start_daemon()
    served_as_files_only()
    driver.get(f"http://127.0.0.1:{gw.HTTP_PORT}/")
    sign_in(driver)
    overview_without_ready_modem(driver)
    # Modem a comes up with hostile texts waiting; the page shows it without a reload.
    gw.start_modem(3, "--report-delay", "200", "--message", f"10086:{HOSTILE[0]}",
                   "--message", f"10010:{HOSTILE[1]}")
    seen("modem a ready on the overview", lambda: cells(driver, "modems", "a")[1] == "ready")
    long_message_delivered(driver)
    hostile_texts_are_text(driver)
    queued_message_cancelled(driver)
    # The wrong key's refusal is the only error the pages may have logged.
    no_errors(driver, allowed=["401 (Unauthorized)"])
    by_id(driver, "signout").click()
    seen("the sign-in form again", lambda: by_id(driver, "key").is_displayed())
    if driver.execute_script("return sessionStorage.length") != 0:
        gw.fail("the key stayed in the tab after signing out")
    if SHOTS:
        take_pictures("en-US", "en")
        take_pictures("zh-CN", "zh")
    gw.stop_daemon()
    log = open(os.path.join(gw.work, "daemon.err"), errors="replace").read()
    if gw.KEY in log or "wrong-key" in log:
        gw.fail("an API key is in the daemon's log")


def on_postgresql(driver):
    db = pg_cluster.Cluster().start()
    gw.cleanups.append(db.remove)
    os.makedirs(os.path.join(gw.work, "pg"))
    gw.write_config([("a", 3)], f'store = "{db.url}"\njournal_dir = "{gw.work}/pg"\n'
                                f'console_dir = "{CONSOLE}"')
    text = open(os.path.join(gw.work, "tarvikd.toml")).read()
    # The later store line would be refused as a repeated key: the first goes.
    open(os.path.join(gw.work, "tarvikd.toml"), "w").write(text.split("\n", 1)[1])
    gw.start_daemon()
    driver.refresh()
    seen("the sign-in form", lambda: by_id(driver, "key").is_displayed())
    by_id(driver, "key").send_keys(gw.KEY)
    by_id(driver, "signin-button").click()
    seen("the overview", lambda: by_id(driver, "page-overview").is_displayed())
    for name in ("overview", "outbox", "inbox", "send"):
        open_tab(driver, name)
        seen(f"the {name} page live", lambda: by_id(driver, "status").text == "live")
    open_tab(driver, "overview")
    seen("modem a ready", lambda: (cells(driver, "modems", "a") or [""] * 2)[1] == "ready")
    # Before the switch of daemons, the page could not reach the API for a moment.
    no_errors(driver, allowed=["ERR_CONNECTION_REFUSED"])
    gw.stop_daemon()


def main():
    driver = browser("en-US")
    try:
        on_sqlite(driver)
        on_postgresql(driver)
        print("PASS (console)")
    finally:
        gw.clean_up()


if __name__ == "__main__":
    main()
