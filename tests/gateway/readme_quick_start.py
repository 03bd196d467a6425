#!/usr/bin/env python3
"""Runs the README's gateway quick start as printed, against the build tree: the message it
posts is shown sent, and its text comes back into the inbox.
Usage: readme_quick_start.py SOURCE_DIR BIN_DIR

The quick start uses port 8025 and /tmp/gw; where the system allows it the run gets a
network, a /tmp and process numbers of its own, so that it meets no other test there."""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

ISOLATION = ["unshare", "--net", "--mount", "--pid", "--fork", "--mount-proc"]


def quick_start(source_dir):
    with open(os.path.join(source_dir, "README.md"), encoding="utf-8") as readme:
        text = readme.read()
    found = re.search(r"^<!-- quick start: gateway -->\n```sh\n(.*?)^```$", text, re.S | re.M)
    if not found:
        sys.exit("README.md has no block after <!-- quick start: gateway -->")
    return found.group(1)


def isolate():
    """Goes on in namespaces of its own when it can; else the run shares the machine."""
    if "--inside" in sys.argv:
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        # The old /tmp stays in reach under /var/tmp: the tree under test may be there.
        subprocess.run(["mount", "--bind", "/tmp", "/var/tmp"], check=True)
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/tmp"], check=True)
        return
    if shutil.which("unshare") and subprocess.run(
            ISOLATION + ["true"], capture_output=True).returncode == 0:
        os.execvp("unshare", ISOLATION + [sys.executable] + sys.argv + ["--inside"])
    print("readme_quick_start: no namespaces; port 8025 and /tmp/gw must be free")


def reachable(path):
    """Where `path` is seen now: under /var/tmp when it was in a /tmp that is hidden."""
    path = os.path.realpath(path)
    inside = "--inside" in sys.argv
    if inside and (path == "/tmp" or path.startswith("/tmp/")):
        return "/var/tmp" + path[len("/tmp"):]
    return path


def run(block, bin_dir):
    """The block in a folder whose build/bin is the build tree's; its output's lines."""
    work = tempfile.mkdtemp(prefix="tarvik-quick-start.")
    os.makedirs(os.path.join(work, "build"))
    os.symlink(os.path.abspath(bin_dir), os.path.join(work, "build", "bin"))
    output = os.path.join(work, "output")
    with open(output, "wb") as out:
        shell = subprocess.Popen(["bash", "-e", "-c", block], cwd=work, stdout=out,
                                 stderr=subprocess.STDOUT, start_new_session=True)
        try:
            shell.wait(timeout=120)
        except subprocess.TimeoutExpired:
            pass
        finally:
            # What it left running in the background: the daemon and the simulator.
            os.killpg(shell.pid, signal.SIGTERM)
            shell.wait()
    with open(output, encoding="utf-8", errors="replace") as lines:
        shown = lines.read()
    if shell.returncode not in (0, -signal.SIGTERM):
        print(shown)
        sys.exit(f"the quick start ended with {shell.returncode}")
    return shown


def main():
    source_dir, bin_dir = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2])
    isolate()
    shown = run(quick_start(reachable(source_dir)), reachable(bin_dir))
    answers = []
    for line in shown.splitlines():
        try:
            answers.append(json.loads(line))
        except ValueError:
            pass
    message = next((a for a in answers if a.get("id") == 1 and "state" in a), None)
    inbox = next((a for a in answers if "messages" in a), None)
    failures = []
    if {"status": "ok"} not in answers:
        failures.append("the daemon's health was not shown")
    if {"id": 1} not in answers:
        failures.append("the POST did not answer {\"id\":1}")
    if not message or message["state"] != "sent" or message["text"] != "hello 😀":
        failures.append(f"the message is not shown sent: {message}")
    if not inbox or not any(m["text"] == "hello 😀" and m["modem"] == "sim"
                            for m in inbox["messages"]):
        failures.append(f"the text did not come back into the inbox: {inbox}")
    if failures:
        print(shown)
        sys.exit("; ".join(failures))
    print("readme_quick_start: the message went and came back, as the README says")


if __name__ == "__main__":
    main()
