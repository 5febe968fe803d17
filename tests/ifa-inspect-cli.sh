#!/usr/bin/env bash
# ifa-inspect's command line, run by ctest: for each case the exit status and
# everything written to standard output and standard error, compared exactly
# (help and version, usage errors, failures, and the FILE:LINE:COLUMN of bad
# entries in a file and on standard input).
#   ifa-inspect-cli.sh PROGRAM SAMPLES-DIR VERSION
set -u
prog=$1
samples=$2
version=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
empty=$tmp/empty
: >"$empty"
: >"$tmp/in"

# text LINE...: the name of a new file holding these lines.
text() {
  local f
  f=$(mktemp "$tmp/text.XXXXXX")
  printf '%s\n' "$@" >"$f"
  echo "$f"
}

# usage MESSAGE: what a usage error writes to standard error.
usage() { text "ifa-inspect: $1" "(ifa-inspect --help for usage)"; }

# check STATUS STDOUT-FILE STDERR-FILE ARGS...: runs the program in the
# samples directory with standard input from $tmp/in.
check() {
  local want_status=$1 want_out=$2 want_err=$3 status
  shift 3
  (cd "$samples" && "$prog" "$@" <"$tmp/in" >"$tmp/out" 2>"$tmp/err")
  status=$?
  if [ "$status" != "$want_status" ]; then
    echo "FAIL ifa-inspect $*: exit status $status, expected $want_status"
    failures=$((failures + 1))
  fi
  if ! cmp -s "$want_out" "$tmp/out"; then
    echo "FAIL ifa-inspect $*: standard output"
    diff -u "$want_out" "$tmp/out" | head -20
    failures=$((failures + 1))
  fi
  if ! cmp -s "$want_err" "$tmp/err"; then
    echo "FAIL ifa-inspect $*: standard error"
    diff -u "$want_err" "$tmp/err" | head -20
    failures=$((failures + 1))
  fi
}

# Help: the same text for --help, -h and help; no command gives it on
# standard error as a usage error. No line wider than 100 columns.
"$prog" --help >"$tmp/help"
"$prog" table --help >"$tmp/table-help"
check 0 "$tmp/help" "$empty" --help
check 0 "$tmp/help" "$empty" -h
check 0 "$tmp/help" "$empty" help
check 64 "$empty" "$tmp/help"
check 0 "$tmp/table-help" "$empty" help table
check 0 "$tmp/table-help" "$empty" table -h
for line in 'Usage: ifa-inspect [OPTIONS] [COMMAND]' '  table NAME FILE         create the table NAME through its construction hook, commit' \
  'Exit status: 0 done, 1 failed (unknown name, bad entry), 64 usage error.'; do
  grep -qxF -- "$line" "$tmp/help" || { echo "FAIL --help lacks: $line"; failures=$((failures + 1)); }
done
grep -qxF 'Usage: ifa-inspect table [OPTIONS] NAME FILE' "$tmp/table-help" ||
  { echo "FAIL table --help lacks its usage"; failures=$((failures + 1)); }
if awk 'length($0) > 100 { exit 1 }' "$tmp/help" "$tmp/table-help"; then :; else
  echo "FAIL help wider than 100 columns"
  failures=$((failures + 1))
fi
check 0 "$(text "ifa-inspect (ifa-swtables) $version")" "$empty" --version

# Usage errors: two lines on standard error, exit status 64.
check 64 "$empty" "$(usage 'unknown command "foo"')" foo
check 64 "$empty" "$(usage 'unknown command "foo"')" help foo
check 64 "$empty" "$(usage 'modules: --bogus is not an option of this command')" modules --bogus
# Suggestions as the agent gives them, for commands and options.
check 64 "$empty" "$(usage 'unknown command "tabel" (did you mean "table"?)')" tabel x y
check 64 "$empty" "$(usage 'unknown command "modles" (did you mean "modules"?)')" help modles
check 64 "$empty" "$(usage 'modules: --lod is not an option of this command (did you mean "--load"?)')" \
  modules --lod=x
check 64 "$empty" "$(usage 'The following argument was not expected: extra')" modules a extra
check 64 "$empty" "$(usage 'FILE is required')" table IfaActionVector
check 64 "$empty" "$(usage '--load: 1 required LIBRARY missing')" modules --load

# Failures: one line, exit status 1; --load LIBRARY and --load=LIBRARY alike,
# before the command or after it.
nolib='/nonexistent/lib.so: cannot open shared object file: No such file or directory'
check 1 "$empty" "$(text "ifa-inspect: cannot load /nonexistent/lib.so: $nolib")" \
  --load /nonexistent/lib.so modules
check 1 "$empty" "$(text "ifa-inspect: cannot load /nonexistent/lib.so: $nolib")" \
  modules --load=/nonexistent/lib.so
check 1 "$empty" "$(text 'ifa-inspect: no module or type named "IfaNoSuch"')" modules IfaNoSuch
"$prog" table IfaNoSuchTable /dev/null >"$tmp/out" 2>"$tmp/err"
status=$?
[ "$status:$(cat "$tmp/out"):$(head -2 "$tmp/err")" = "1::$(printf '%s\n  %s' \
  'ifa-inspect: unknown table "IfaNoSuchTable"; the tables are:' CorvaneInt::IfaActionProfile)" ] ||
  { echo "FAIL table IfaNoSuchTable: exit status $status"; cat "$tmp/err"; failures=$((failures + 1)); }
check 1 "$empty" "$(text 'ifa-inspect: bad-action-vector.txt:3:49: bad entry text: field "ifaVersion": value 99 is out of range 0..15')" \
  table IfaActionVector bad-action-vector.txt
check 1 "$empty" "$(text 'ifa-inspect: /dev/zero: larger than 16777216 bytes')" \
  table IfaActionVector /dev/zero

# Standard input as FILE - (after --): the sample's entries, then a bad entry
# behind leading white space and a tab, then a bad key quoted as a bounded,
# escaped excerpt.
cp "$samples/action-vector.txt" "$tmp/in"
sed 's/from action-vector.txt/from -/' "$samples/action-vector.expected" >"$tmp/stdin-expected"
check 0 "$tmp/stdin-expected" "$empty" table -- IfaActionVector -
printf '# rows\n\n  0x2\tCorvaneInt::IfaActionVector::Entry(ifaVersion=2, actionVector=3, ipProtocol=6, requestVector=15)\n \t 7   CorvaneInt::IfaActionVector::Entry(ifaVersion=2, bogus=1)\n' >"$tmp/in"
check 1 "$empty" "$(text 'ifa-inspect: -:4:57: bad entry text: field "actionVector": expected field name "actionVector", found "bogus=1)"')" \
  table IfaActionVector -
printf '   \001123456789012345678901234567890 X\n' >"$tmp/in"
check 1 "$empty" "$(text 'ifa-inspect: -:1:4: bad key: "\x0112345678901234567890123..." is not a number (Asic::SwTableBase::Index)')" \
  table IfaActionVector -
# The short form, rewritten to the text form and read through the same hook:
# the sample's rows in it give the sample's output; its errors name the field
# at the token's column.
sed 's/from action-vector.txt/from action-vector-short.txt/' "$samples/action-vector.expected" \
  >"$tmp/short-expected"
check 0 "$tmp/short-expected" "$empty" table IfaActionVector action-vector-short.txt
printf '7 ifaVersion=1 ifaVersoin=2\n' >"$tmp/in"
check 1 "$empty" "$(text 'ifa-inspect: -:1:16: field "ifaVersoin": unknown field (did you mean "ifaVersion"?)')" \
  table IfaActionVector -
printf '7 actionVector=1 ifaVersion=99\n' >"$tmp/in"
check 1 "$empty" "$(text 'ifa-inspect: -:1:18: bad entry text: field "ifaVersion": value 99 is out of range 0..15')" \
  table IfaActionVector -
printf '0 switchId=0x0a000102\n1\n' >"$tmp/in"
"$prog" table IfaSwitchId - <"$tmp/in" | grep -qx '    0: 167772418' ||
  { echo "FAIL the short form of a one-field entry"; failures=$((failures + 1)); }
# One entry is "1 member".
printf '5 CorvaneInt::IfaActionVector::Entry(ifaVersion=2, actionVector=3, ipProtocol=6, requestVector=15)\n' >"$tmp/in"
"$prog" table IfaActionVector - <"$tmp/in" | grep -q "Entry, 1 member (" ||
  { echo "FAIL one entry is not \"1 member\""; failures=$((failures + 1)); }
: >"$tmp/in"

# modules --json: one document, its format version first.
"$prog" modules IfaSwitchId --json >"$tmp/json"
[ "$(head -2 "$tmp/json")" = "$(printf '{\n  "formatVersion": 1,')" ] ||
  { echo "FAIL modules --json: no format version"; failures=$((failures + 1)); }

if [ "$failures" != 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "all passed"
