#!/usr/bin/env python3
"""The project's floors: which folder may include which. A folder includes only
itself and the folders below it; nothing includes upwards and no two folders
include each other. Prints every include that breaks the rule; exit 1 if any."""
import os
import re
import sys

# Each folder with the folders it may include besides itself (longest match wins).
FLOORS = {
    "platform": [],
    "wire": ["platform"],
    "transport": ["platform"],
    "transport/client": ["transport"],
    "transport/internet": ["platform", "transport"],
    "xulib": ["platform"],
    "service/settings": ["platform"],
    "service/session": ["platform", "wire", "transport/client", "transport/PPPP_API.h"],
    "service/camera": ["platform", "xulib"],
    "service/video": ["platform", "wire", "xulib", "service/session/EncodedFrameSink.h", "service/settings",
                      "service/camera"],
    "service/demo": ["platform", "wire", "transport/client", "transport/PPPP_API.h", "service/session"],
    "service/app": ["platform", "wire", "transport/client", "transport/PPPP_API.h", "service/settings",
                    "service/session", "service/camera", "service/video"],
    "viewer": ["platform", "wire", "transport/client", "transport/PPPP_API.h"],
}
# Below a floor, yet out of its reach: the optional internet route plugs into
# the transport through its route interface (transport/Route.h) alone.
HIDDEN = {"transport": ["transport/internet"]}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def floor_of(path):
    best = None
    for floor in FLOORS:
        if path == floor or path.startswith(floor + "/"):
            if best is None or len(floor) > len(best):
                best = floor
    return best


def allowed(floor, target):
    if any(target.startswith(h + "/") for h in HIDDEN.get(floor, [])):
        return False
    if floor_of(target) == floor or target.startswith(floor + "/"):
        return True
    return any(target == a or target.startswith(a.rstrip("/") + "/") for a in FLOORS[floor])


def main(root):
    problems = []
    for floor in FLOORS:
        top = os.path.join(root, floor)
        for folder, _, files in os.walk(top):
            for name in files:
                if not name.endswith((".h", ".cpp", ".c")):
                    continue
                path = os.path.join(folder, name)
                rel = os.path.relpath(path, root)
                if floor_of(rel) != floor:
                    continue
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m or floor_of(m.group(1)) is None:
                            continue
                        if not allowed(floor, m.group(1)):
                            problems.append(f"{rel}:{number}: {floor}/ may not include {m.group(1)}")
    for p in problems:
        print(p)
    print(f"{len(problems)} include(s) across the floors")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
