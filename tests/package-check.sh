#!/usr/bin/env bash
# The Debian packages, made from the build at hand as make deb makes them
# (stripped, installed under /usr), checked as a user of them would:
#  - two packages, ifa-swtables and ifa-swtables-dev of the project's
#    version, the dev package depending on exactly that ifa-swtables, the
#    runtime's dependencies computed (libc6, libstdc++6);
#  - lintian finds no error and no warning that is not overridden, and every
#    override states its reason in the comment that opens its paragraph;
#  - each package has its copyright file and changelog.Debian.gz, and holds
#    no unstripped program or library;
#  - unpacked into a scratch root: every man page renders without a warning,
#    the agent runs the demo finding its plug-in beside itself, and the
#    example examples/embed builds against that root alone and runs.
# Usage: package-check.sh CPACK CMAKE GENERATOR CXX SOURCE_DIR BUILD_DIR WORK_DIR
set -euo pipefail
cpack=$1 cmake=$2 generator=$3 cxx=$4 source=$5 build=$6 work=$7
fail() {
  echo "package check: $*" >&2
  exit 1
}
for tool in lintian dpkg-shlibdeps man; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (make test installs it)"
done
rm -rf "$work"
mkdir -p "$work"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  fail "cpack: $(tail -20 "$work/cpack.log")"

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")-1
arch=$(dpkg --print-architecture)
runtime=$work/out/ifa-swtables_${version}_$arch.deb
dev=$work/out/ifa-swtables-dev_${version}_$arch.deb
if [ ! -f "$runtime" ] || [ ! -f "$dev" ]; then fail "packages made: $(ls "$work/out")"; fi

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$dev" Depends)" = "ifa-swtables (= $version)" ] ||
  fail "ifa-swtables-dev depends on: $(field "$dev" Depends)"
depends=$(field "$runtime" Depends)
for lib in libc6 libstdc++6; do
  [[ ", $depends" == *", $lib "* ]] || fail "ifa-swtables depends on: $depends (no $lib)"
done

# An override's reason is the comment that opens its paragraph.
for overrides in "$source"/cmake/debian/*.lintian-overrides; do
  reason=""
  while IFS= read -r line; do
    case $line in
      '') reason="" ;;
      '#'*) reason=$line ;;
      *) [ -n "$reason" ] || fail "$(basename "$overrides"): no reason for: $line" ;;
    esac
  done <"$overrides"
done
lintian --allow-root --fail-on error,warning "$runtime" "$dev" >"$work/lintian.log" 2>&1 ||
  fail "lintian: $(cat "$work/lintian.log")"

root=$work/root
for deb in "$runtime" "$dev"; do
  package=$(field "$deb" Package)
  dpkg-deb -x "$deb" "$root"
  for file in copyright changelog.Debian.gz; do
    [ -f "$root/usr/share/doc/$package/$file" ] || fail "$package has no $file"
  done
done
while IFS= read -r elf; do
  if file -b "$elf" | grep -q "not stripped"; then fail "${elf#"$root"} is not stripped"; fi
done < <(find "$root" -type f -exec sh -c 'head -c 4 "$1" | grep -q ELF' sh {} \; -print)

pages=$(find "$root/usr/share/man" -name '*.gz' | sort)
[ "$(echo "$pages" | sed 's|.*/||' | tr '\n' ' ')" = "ifa-agent.1.gz ifa-inspect.1.gz ifa-agent.conf.5.gz " ] ||
  fail "man pages: $pages"
for page in $pages; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "${page#"$root"}: $warnings"
done
[ -s "$root/usr/share/bash-completion/completions/ifa-agent" ] || fail "no bash completion"

mkdir "$work/demo"
(cd "$work/demo" && env -u SIDECAR_PLUGIN_PATH -u LD_LIBRARY_PATH "$root/usr/bin/ifa-agent" demo) \
  >"$work/demo.out" || fail "the packaged agent's demo failed: $(cat "$work/demo.out")"
grep -q "^total  *29  *29  *15  *9  *5  *5$" "$work/demo.out" || fail "demo: no warm restart"

cp -r "$root/usr/share/doc/ifa-swtables/examples/embed" "$work/embed"
"$cmake" -S "$work/embed" -B "$work/embed-build" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" -DCMAKE_PREFIX_PATH="$root/usr" >"$work/embed.log" ||
  fail "the example does not configure: $(cat "$work/embed.log")"
"$cmake" --build "$work/embed-build" >>"$work/embed.log" || fail "the example does not build"
diff -u - <("$work/embed-build/ifa-embed" "$work/embed.img") <<'OUT'
chip profile corvane-sim-a
cold start: 3 rows written
warm restart: 3 rows read back
matched 1, mismatched 1, missing 1, stale 1
OUT

rm -rf "$work"
echo "package check: passed"
