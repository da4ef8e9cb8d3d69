#!/usr/bin/env bash
# A second compiler's eyes on the Windows build: every translation unit of
# the windows-x64 preset (product, tools, tests) through clang 14 for
# x86_64-w64-mingw32, against the MinGW-w64 headers and GCC's libstdc++,
# with -Wall -Wextra -Werror (syntax and semantics, no code generated); then
# clang-tidy with .clang-tidy over the product's sources.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# --built: the caller has just configured build/windows-x64 (the test run,
# whose Windows tests may be running in that tree meanwhile).
if [[ ${1:-} != --built ]]; then
  scripts/install-deps.sh
  cmake --preset windows-x64 >/dev/null
fi
mkdir -p build/lint

# The build's compile commands, rewritten for clang. Only the compiler and
# its standard include paths change; defines, include folders and warning
# flags stay the build's own.
python3 - "$root" <<'PY'
import json, shlex, subprocess, sys
root = sys.argv[1]
gcc = "x86_64-w64-mingw32-g++-posix"
resource = subprocess.check_output(["clang++", "-print-resource-dir"], text=True).strip()
gcc_include = subprocess.check_output([gcc, "-print-file-name=include"], text=True).strip()
base = gcc_include.rsplit("/include", 1)[0]
clang = ["clang++", "--target=x86_64-w64-mingw32", "-nostdinc", "-nostdinc++",
         "-isystem", base + "/include/c++", "-isystem", base + "/include/c++/x86_64-w64-mingw32",
         "-isystem", base + "/include/c++/backward", "-isystem", resource + "/include",
         "-isystem", "/usr/x86_64-w64-mingw32/include", "-Werror"]
entries = []
for entry in json.load(open(root + "/build/windows-x64/compile_commands.json")):
    if not entry["file"].startswith(root + "/") or not entry["file"].endswith((".cpp", ".cc")):
        continue  # GoogleTest's own sources and generated files
    args = shlex.split(entry["command"])[1:]
    kept, skip = [], False
    for arg in args:
        if skip:
            skip = False
            continue
        if arg == "-o":
            skip = True
            continue
        if arg in ("-fno-keep-inline-dllexport",):
            continue  # GCC's own, which CMake adds for MinGW DLLs; clang has no such flag
        kept.append(arg)
    entries.append({"directory": entry["directory"], "file": entry["file"],
                    "arguments": clang + kept})
json.dump(entries, open(root + "/build/lint/compile_commands.json", "w"), indent=1)
PY

# One pool of jobs over the machine's cores, the longest (clang-tidy) first.
# clang-tidy compiles its file with the build's flags and -Werror, so a
# compiler warning there fails it too: a product file that it checks under one
# set of flags needs no second syntax-only pass.
sources=$(git ls-files 'app/*.cpp' 'presence/*.cpp' 'discord/*.cpp' 'sdk/*.cpp' 'utility/*.cpp' 'common/*.cpp' \
  'tools/orvpres-send/*.cpp' | grep -v 'transport_unix.cpp')
echo "== clang-tidy over the product's sources; clang over every other Windows translation unit"
python3 - "$root" $sources <<'PY' | xargs -0 -n 1 -P "$(nproc)" sh -c 'eval "$0"' || { echo "lint found problems" >&2; exit 1; }
import collections, json, shlex, sys
root, tidied = sys.argv[1], {sys.argv[1] + "/" + f for f in sys.argv[2:]}
entries = json.load(open(root + "/build/lint/compile_commands.json"))
flags = collections.defaultdict(set)
for entry in entries:
    flags[entry["file"]].add(tuple(entry["arguments"]))
for source in sorted(tidied):
    sys.stdout.write("cd %s && clang-tidy -p build/lint --quiet --warnings-as-errors='*' %s 2>/dev/null\0"
                     % (shlex.quote(root), shlex.quote(source)))
for entry in entries:
    if entry["file"] in tidied and len(flags[entry["file"]]) == 1:
        continue
    command = " ".join(shlex.quote(a) for a in entry["arguments"] + ["-fsyntax-only"])
    sys.stdout.write("cd %s && %s\0" % (shlex.quote(entry["directory"]), command))
PY
echo "lint: clean"
