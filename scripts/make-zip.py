#!/usr/bin/env python3
"""Packs a folder into a ZIP archive that depends on nothing but the files:
entries in sorted order under one top-level folder, every time set to
SOURCE_DATE_EPOCH (1980 at the earliest, which ZIP cannot go below), fixed
permissions (programs and DLLs 755, the rest 644), no owner, no extra fields.

    make-zip.py <folder> <archive.zip> <top-level folder name>
"""
import os
import sys
import time
import zipfile


def main():
    folder, archive, top = sys.argv[1], sys.argv[2], sys.argv[3]
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "0"))
    stamp = time.gmtime(max(epoch, 315532800))[:6]  # 1980-01-01, ZIP's first day
    files = []
    for root, dirs, names in os.walk(folder):
        dirs.sort()
        for name in names:
            path = os.path.join(root, name)
            files.append(os.path.relpath(path, folder).replace(os.sep, "/"))
    files.sort()
    with zipfile.ZipFile(archive, "w") as out:
        for relative in files:
            entry = zipfile.ZipInfo(top + "/" + relative, date_time=stamp)
            entry.create_system = 3  # Unix, so that the permissions below count
            executable = relative.lower().endswith((".exe", ".dll"))
            entry.external_attr = (0o100755 if executable else 0o100644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(folder, relative), "rb") as source:
                out.writestr(entry, source.read(), compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)


if __name__ == "__main__":
    main()
