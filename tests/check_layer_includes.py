#!/usr/bin/env python3
"""Compiles, with each library area's own compile command, a line that includes a header of
every area, and fails unless exactly the areas the layer order allows are found. So the
include folders and links keep the arrows one-way, not a convention."""
import json
import os
import shlex
import subprocess
import sys
import tempfile

build, library = sys.argv[1], os.path.realpath(sys.argv[2])
ext = "Win32" if len(sys.argv) > 3 and sys.argv[3] == "Win32" else "Posix"

SOURCE = {  # one source file of each area, whose command shows what the area sees
    "codec": "codec/Text.cpp",
    "serial": "serial/CSXCom.cpp",
    "platform": f"platform/ThreadPriority{ext}.cpp",
    "engine": "engine/ComBaseCmd.cpp",
    "service": "service/MsgService.cpp",
}
HEADER = {
    "codec": "codec/Text.h",
    "serial": "serial/CSXCom.h",
    "platform": "platform/Thread.h",
    "engine": "engine/ComBaseCmd.h",
    "service": "service/ServiceHost.h",
}
ALLOWED = {
    "codec": {"codec"},
    "serial": {"serial"},
    "platform": {"platform"},
    "engine": {"engine", "serial", "codec"},
    "service": {"service", "engine", "serial", "codec", "platform"},
}

commands = {}
with open(os.path.join(build, "compile_commands.json")) as f:
    for entry in json.load(f):
        commands[os.path.realpath(entry["file"])] = entry

def probe_command(area, probe):
    entry = commands[os.path.join(library, SOURCE[area])]
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    out, skip = [], 0
    for a in args:
        if skip:
            skip -= 1
            continue
        if a in ("-o", "-MF", "-MT", "-MQ"):
            skip = 1
            continue
        if a in ("-c", "-MD", "-MMD") or os.path.realpath(os.path.join(entry["directory"], a)) == \
                os.path.join(library, SOURCE[area]):
            continue
        out.append(a)
    return out + ["-fsyntax-only", probe], entry["directory"]

wrong = []
with tempfile.TemporaryDirectory() as tmp:
    for area in SOURCE:
        for other, header in HEADER.items():
            probe = os.path.join(tmp, f"{area}_{other}.cpp")
            with open(probe, "w") as f:
                f.write(f'#include "{header}"\n')
            cmd, cwd = probe_command(area, probe)
            run = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True)
            found = run.returncode == 0
            missing = "No such file" in run.stderr
            if not found and not missing:
                wrong.append(f"{area} including {header} failed for another reason:\n{run.stderr}")
            elif found != (other in ALLOWED[area]):
                verb = "sees" if found else "does not see"
                wrong.append(f"{area} {verb} {header}")
for line in wrong:
    print(line)
sys.exit(1 if wrong else 0)
