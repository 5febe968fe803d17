#!/usr/bin/env bash
# The installed package, consumed as a user would:
#  - installed into a temporary prefix: headers only under
#    include/ifa-swtables/, no path of the source or build tree in any text
#    file or in the strings of a program or library, every RUNPATH relative
#    to $ORIGIN;
#  - the agent's systemd unit installed, with its service settings and the
#    program's whole path in ExecStart;
#  - the example examples/embed, as installed, built with CMake against the
#    prefix alone, run, and its output checked;
#  - the tree moved elsewhere: the example built with pkg-config's flags and
#    run, and the agent finding its plug-in and running the demo exactly as
#    the build tree's agent does;
#  - the source tree as another project's subproject (FetchContent): it
#    configures, with no test of its own;
#  - docs/embedding.md shows the example's files as they are (the README
#    links to that page and no longer shows them itself).
# Usage: install-check.sh CMAKE GENERATOR CXX SOURCE_DIR BUILD_DIR WORK_DIR
set -euo pipefail
cmake=$1 generator=$2 cxx=$3 source=$4 build=$5 work=$6
fail() {
  echo "install check: $*" >&2
  exit 1
}
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

unit=$prefix/lib/systemd/system/ifa-agent.service
[ -f "$unit" ] || fail "no systemd unit at lib/systemd/system/ifa-agent.service"
for line in Type=notify 'ExecReload=/bin/kill -HUP $MAINPID' Restart=on-failure \
  'RestartPreventExitStatus=1 3 6 64' StateDirectory=ifa-agent; do
  grep -qxF "$line" "$unit" || fail "the unit lacks $line"
done
grep -qE '^ExecStart=/[^ ]*/ifa-agent run /' "$unit" || fail "the unit's ExecStart: $(grep ExecStart "$unit")"
[ "$(ls "$prefix/include")" = ifa-swtables ] || fail "include/ holds: $(ls "$prefix/include")"
if grep -rIlF -e "$source" -e "$build" "$prefix"; then fail "paths into the source or build tree"; fi
elves=$(find "$prefix" -type f -exec sh -c 'head -c 4 "$1" | grep -q ELF' sh {} \; -print)
[ -n "$elves" ] || fail "no program or library installed"
for elf in $elves; do
  if readelf -p .rodata "$elf" | grep -qF -e "$source" -e "$build"; then
    fail "$elf holds a path into the source or build tree"
  fi
  runpath=$(readelf -d "$elf" | sed -n 's/.*(R[UN]*PATH).*\[\(.*\)\]$/\1/p')
  for entry in ${runpath//:/ }; do
    case $entry in \$ORIGIN*) ;; *) fail "$elf: RUNPATH $runpath" ;; esac
  done
done

expected="chip profile corvane-sim-a
cold start: 3 rows written
warm restart: 3 rows read back
matched 1, mismatched 1, missing 1, stale 1"

cp -r "$prefix/share/doc/ifa-swtables/examples/embed" "$work/embed"
"$cmake" -S "$work/embed" -B "$work/embed-build" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
found=$(sed -n 's/^ifa-swtables_DIR:PATH=//p' "$work/embed-build/CMakeCache.txt")
[ "$found" = "$prefix/lib/cmake/ifa-swtables" ] || fail "the example found the package in $found"
"$cmake" --build "$work/embed-build" >/dev/null
diff -u <(echo "$expected") <("$work/embed-build/ifa-embed" "$work/cmake.img")

moved=$work/moved
mv "$prefix" "$moved"
export PKG_CONFIG_PATH=$moved/lib/pkgconfig
# shellcheck disable=SC2046 # the flags are words
"$cxx" -Wall -Wextra -Werror "$work/embed/main.cpp" $(pkg-config --cflags --libs ifa-swtables) \
  -o "$work/embed-pc"
diff -u <(echo "$expected") \
  <(LD_LIBRARY_PATH=$(pkg-config --variable=libdir ifa-swtables) "$work/embed-pc" "$work/pc.img")

version=$("$moved/bin/ifa-agent" --version)
[ "$version" = "ifa-agent (ifa-swtables) $(pkg-config --modversion ifa-swtables)" ] ||
  fail "ifa-agent --version: $version"
mkdir "$work/moved-demo" "$work/built-demo"
(cd "$work/moved-demo" && env -u SIDECAR_PLUGIN_PATH "$moved/bin/ifa-agent" demo --image chip.img) \
  >"$work/moved-demo.out"
(cd "$work/built-demo" && env -u SIDECAR_PLUGIN_PATH "$build/bin/ifa-agent" demo --image chip.img) \
  >"$work/built-demo.out"
diff -u "$work/built-demo.out" "$work/moved-demo.out"
grep -q "^total  *29  *29  *15  *9  *5  *5$" "$work/moved-demo.out" || fail "demo: no warm restart"

# ifa-inspect's samples are installed, and read as in the README.
samples=$moved/share/ifa-swtables/samples
(cd "$samples" && "$moved/bin/ifa-inspect" table IfaActionVector action-vector.txt) |
  diff -u "$samples/action-vector.expected" - || fail "ifa-inspect on the installed samples"

mkdir "$work/parent"
cat >"$work/parent/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(parent LANGUAGES CXX)
include(FetchContent)
FetchContent_Declare(ifa-swtables SOURCE_DIR "$source")
FetchContent_MakeAvailable(ifa-swtables)
add_executable(embed "$work/embed/main.cpp")
target_link_libraries(embed PRIVATE ifa::host)
CMAKE
"$cmake" -S "$work/parent" -B "$work/parent-build" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
  >"$work/parent.log" || fail "subproject: $(cat "$work/parent.log")"
ctest --test-dir "$work/parent-build" -N | grep -qx "Total Tests: 0" || fail "subproject has tests"
# The code block after the page's line "<!-- FILE -->".
shown() {
  awk -v marker="<!-- $2 -->" '$0 == marker { on = 1; next }
    on && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$source/$1"
}
for page in docs/embedding.md; do
  for file in examples/embed/main.cpp examples/embed/CMakeLists.txt; do
    diff -u "$source/$file" <(shown "$page" "$file") || fail "$page does not show $file as it is"
  done
done

rm -rf "$work"
echo "install check: passed"
