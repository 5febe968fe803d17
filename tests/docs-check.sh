#!/usr/bin/env bash
# The pages in docs/ against the programs:
#  - every ifa-agent command shown ("$ ifa-agent ..." in a code block) runs,
#    page by page in a scratch directory holding examples/agent/'s
#    configurations (a page makes its own image, with apply --create), and
#    ends with the status the page states: 0, or N when the line ends in
#    "# exit status N". The output shown after the command, up to the next
#    "$ " line, is compared when the block follows the line
#    "<!-- docs-check: output -->", with the scratch directory written as
#    DIR. Commands that need a running service (run, status, systemctl, or a
#    line ending in "# needs the service") are skipped;
#  - every path of the source tree named in backquotes (`agent/main.cpp`,
#    `fuzz/corpus/<target>/` up to its first placeholder) exists, and every
#    relative link leads to a file.
# Usage: docs-check.sh IFA_AGENT SOURCE_DIR WORK_DIR
set -euo pipefail
agent=$1 source=$2 work=$3
failed=0
problem() {
  echo "docs check: $*" >&2
  failed=1
}
rm -rf "$work"
mkdir -p "$work"

for page in "$source"/docs/*.md; do
  name=docs/${page##*/}
  dir=$work/$(basename "$page" .md)
  mkdir "$dir"
  cp "$source"/examples/agent/*.conf "$dir"/
  # Each command with its line, status, and shown output (when compared).
  awk -v out="$dir/commands" '
    /^<!-- docs-check: output -->$/ { compare = 1; next }
    /^```/ { if (inblock) { inblock = 0; compare = 0 } else inblock = 1; next }
    inblock && /^\$ / { n++; printf "%d\t%d\t%s\n", n, NR, substr($0, 3) > out; cur = n; next }
    inblock && cur && compare { print > (out "." cur ".shown") }
    !inblock { cur = 0 }' "$page"
  [ -f "$dir/commands" ] || continue
  while IFS=$'\t' read -r n line command; do
    [[ $command == ifa-agent\ * ]] || continue
    case $command in
      *"# needs the service" | ifa-agent\ run* | ifa-agent\ status* | *systemctl*) continue ;;
    esac
    want=0
    if [[ $command =~ \#\ exit\ status\ ([0-9]+)$ ]]; then want=${BASH_REMATCH[1]}; fi
    command=${command%%#*}
    status=0
    (cd "$dir" && env -u SIDECAR_PLUGIN_PATH bash -c "ifa-agent() { \"$agent\" \"\$@\"; }; $command") \
      >"$dir/out.$n" 2>&1 </dev/null || status=$?
    if [ "$status" != "$want" ]; then
      problem "$name:$line: $command ended with status $status, the page says $want: $(head -5 "$dir/out.$n")"
    elif [ -f "$dir/commands.$n.shown" ]; then
      sed "s|$dir|DIR|g" "$dir/out.$n" | diff -u "$dir/commands.$n.shown" - >"$dir/diff.$n" ||
        problem "$name:$line: $command prints otherwise: $(cat "$dir/diff.$n")"
    fi
  done <"$dir/commands"
done

# Paths: a backquoted word with a slash, made of path characters, that does
# not start with a build or install location; a placeholder (<target>,
# PROFILE) stands for any name.
for page in "$source"/docs/*.md; do
  name=docs/${page##*/}
  while IFS= read -r path; do
    pattern=$(sed -E 's/<[^>]*>/*/g; s/(^|[^A-Za-z])[A-Z][A-Z_]{2,}([^A-Za-z]|$)/\1*\2/g' <<<"$path")
    compgen -G "$source/$pattern" >/dev/null || problem "$name names $path, which does not exist"
  done < <(grep -o '`[A-Za-z0-9_.][A-Za-z0-9_.<>-]*/[A-Za-z0-9_./<>-]*`' "$page" | tr -d '`' |
    grep -v -E '^(build|bin|lib|include|share|usr|etc|var|tmp|dev|proc|PREFIX|DIR|ifa-swtables)([/-]|$)|^\.\.?/' |
    sort -u)
  while IFS= read -r link; do
    link=${link%%#*}
    [ -n "$link" ] || continue
    [ -e "$(dirname "$page")/$link" ] || problem "$name links to $link, which does not exist"
  done < <(grep -o '\]([^)]*)' "$page" | sed 's/^](\(.*\))$/\1/' | grep -v -E '^[a-z]+:' | sort -u)
done

[ "$failed" = 0 ]
rm -rf "$work"
echo "docs check: passed"
