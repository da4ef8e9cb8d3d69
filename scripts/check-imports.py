#!/usr/bin/env python3
"""Checks what the shipped Windows images import against scripts/windows-imports.txt.

Windows' loader refuses to start an image that imports a function its DLL
lacks ("entry point not found"), before any of our code runs, so a function
newer than the oldest Windows we support must be looked up at run time
(GetProcAddress), never imported. Every imported function must be listed with
the minimum Windows version Microsoft's documentation gives for it, and none
may need a Windows later than 7.

    check-imports.py BUILD-TREE...

Each tree is a built windows-x64 or windows-x86 preset; its shipped images are
read from its bin/ folder with the MinGW objdump of the image's machine.
"""
import os
import re
import struct
import subprocess
import sys

SUPPORTED = "7"  # Windows 7 SP1
# The images `cmake --install` puts in the folder a user copies.
SHIPPED = ("orvpresd.exe", "discord_game_sdk.dll", "orvpres-send.exe")
# Oldest first; "shipped" is a DLL of ours that travels beside the images.
VERSIONS = ("2000", "XP", "Vista", "7", "8", "8.1", "10", "11")
OURS = "shipped"
OBJDUMP = {0x8664: "x86_64-w64-mingw32-objdump", 0x014C: "i686-w64-mingw32-objdump"}
LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows-imports.txt")
LIST_NAME = "scripts/windows-imports.txt"


def read_list(path):
    """{(dll, function): minimum}; function "*" stands for every function of the DLL."""
    entries = {}
    errors = []
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = line.split()
            where = f"{LIST_NAME}:{number}"
            if len(fields) != 3:
                errors.append(f"{where}: want 'dll function minimum', got '{line}'")
                continue
            dll, function, minimum = fields
            if dll != dll.lower() or not dll.endswith(".dll"):
                errors.append(f"{where}: the DLL is written in lower case with .dll: '{dll}'")
            elif minimum not in VERSIONS and minimum != OURS:
                errors.append(f"{where}: minimum '{minimum}' is none of {', '.join(VERSIONS)}, {OURS}")
            elif (dll, function) in entries:
                errors.append(f"{where}: {dll} {function} is listed twice")
            else:
                entries[(dll, function)] = minimum
    return entries, errors


def machine_of(image):
    with open(image, "rb") as file:
        header = file.read(4096)
    if header[:2] != b"MZ" or len(header) < 0x40:
        return None
    pe = struct.unpack_from("<I", header, 0x3C)[0]
    if pe + 6 > len(header) or header[pe:pe + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", header, pe + 4)[0]


def imports_of(image, objdump):
    """{(dll, function)}: a function bound by ordinal N is written #N."""
    text = subprocess.run([objdump, "-p", image], check=True, capture_output=True, text=True).stdout
    found = set()
    dll = None
    inside = False
    for line in text.splitlines():
        if line.startswith("The Import Tables"):
            inside = True
            continue
        if not inside:
            continue
        if re.match(r"\S", line):  # the next part of the dump
            break
        named = re.match(r"\tDLL Name: (\S+)", line)
        if named:
            dll = named.group(1).lower()
            continue
        # "\t<thunk>\t <hint> <name>", or "\t<thunk>\t <ordinal> <none>" where
        # the thunk's high bit marks an ordinal (its low 16 bits).
        entry = re.match(r"\t([0-9a-fA-F]+)\t +[0-9a-fA-F]+ +(\S+)", line)
        if entry and dll:
            name = entry.group(2)
            if name == "<none>":
                name = "#%d" % (int(entry.group(1), 16) & 0xFFFF)
            found.add((dll, name))
    return found


def check(trees):
    users = {}  # (dll, function) -> images that import it
    problems = []
    for tree in trees:
        for name in SHIPPED:
            image = os.path.join(tree, "bin", name)
            if not os.path.isfile(image):
                problems.append(f"{image} is missing: build the targets orvpresd discord_game_sdk orvpres-send")
                continue
            objdump = OBJDUMP.get(machine_of(image))
            if not objdump:
                problems.append(f"{image} is no x64 or x86 PE image")
                continue
            try:
                imported = imports_of(image, objdump)
            except (OSError, subprocess.CalledProcessError) as error:
                problems.append(f"{objdump} -p {image} failed: {error}")
                continue
            if not imported:  # every image imports from kernel32.dll at least
                problems.append(f"found no import table in what {objdump} -p says of {image}")
            for each in imported:
                users.setdefault(each, []).append(image)
    return users, problems


def judge(users, entries):
    """The imports that the list lacks, and those that need a Windows later than ours."""
    unlisted = []
    too_new = []
    for (dll, function), images in sorted(users.items()):
        minimum = entries.get((dll, function), entries.get((dll, "*")))
        where = ", ".join(sorted(images))
        if minimum is None:
            unlisted.append(f"  {dll} {function}  (imported by {where})")
        elif minimum != OURS and VERSIONS.index(minimum) > VERSIONS.index(SUPPORTED):
            too_new.append(f"  {dll} {function} needs Windows {minimum}  (imported by {where})")
    return unlisted, too_new


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    entries, problems = read_list(LIST)
    users, missing = check(sys.argv[1:])
    problems += missing
    unlisted, too_new = judge(users, entries)
    for problem in problems:
        print(f"check-imports: {problem}")
    if too_new:
        print(f"check-imports: these imports need a Windows later than {SUPPORTED}, whose loader then refuses"
              " to start the image (\"entry point not found\"):")
        print("\n".join(too_new))
        print("  Look such a function up at run time (GetModuleHandleW, GetProcAddress) with a fallback,"
              " as common/local_time.cpp does.")
    if unlisted:
        print(f"check-imports: these imports are not in {LIST_NAME}:")
        print("\n".join(unlisted))
        print("  Look each up in Microsoft's documentation (Requirements: Minimum supported client) and add a"
              f" line 'dll function minimum' to {LIST_NAME}; one later than Windows {SUPPORTED} must be looked up"
              " at run time instead.")
    unused = sorted(f"{dll} {function}" for (dll, function) in entries
                    if function != "*" and (dll, function) not in users)
    if unused and not problems:
        print(f"check-imports: note: {len(unused)} listed functions are imported by none of these images"
              f" (fine for one listed ahead of its use): {', '.join(unused)}")
    if problems or too_new or unlisted:
        return 1
    print(f"check-imports: {len(users)} imports of {len(sys.argv) - 1} tree(s), all listed,"
          f" none later than Windows {SUPPORTED}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
