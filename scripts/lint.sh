#!/usr/bin/env bash
# A second compiler's eyes on the Windows build: every translation unit of
# the windows-x64 preset (product, tools, tests) through clang 14 for
# x86_64-w64-mingw32, against the MinGW-w64 headers and GCC's libstdc++,
# with -Wall -Wextra -Werror (syntax and semantics, no code generated); then
# clang-tidy with .clang-tidy over the product's sources.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh
cmake --preset windows-x64 >/dev/null
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

echo "== clang: every Windows translation unit"
python3 - "$root" <<'PY' | xargs -0 -n 1 -P 2 sh -c 'eval "$0"' || { echo "clang found errors" >&2; exit 1; }
import json, shlex, sys
for entry in json.load(open(sys.argv[1] + "/build/lint/compile_commands.json")):
    command = " ".join(shlex.quote(a) for a in entry["arguments"] + ["-fsyntax-only"])
    sys.stdout.write("cd %s && %s\0" % (shlex.quote(entry["directory"]), command))
PY

echo "== clang-tidy: the product's sources"
sources=$(git ls-files 'app/*.cpp' 'presence/*.cpp' 'discord/*.cpp' 'sdk/*.cpp' 'utility/*.cpp' 'common/*.cpp' \
  'tools/orvpres-send/*.cpp' | grep -v 'transport_unix.cpp')
printf '%s\n' $sources | xargs -n 4 -P 2 clang-tidy -p build/lint --quiet --warnings-as-errors='*' 2>/dev/null \
  || { echo "clang-tidy found problems" >&2; exit 1; }
echo "lint: clean"
