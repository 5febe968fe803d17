#!/usr/bin/env bash
# The bash completion that ifa-agent prints, sourced and asked as bash asks it
# at a Tab: commands, a command's options, table names, an option's values,
# file names where a file goes.
# Usage: completion-check.sh IFA_AGENT WORK_DIR
set -euo pipefail
agent=$1 work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work"
touch base.conf
# shellcheck disable=SC1090 # the script under test
source <("$agent" completion bash)
complete -p ifa-agent | grep -q -- "-F _ifa_agent ifa-agent$" || {
  echo "completion check: no completion function for ifa-agent" >&2
  exit 1
}
failed=0
expect() {
  local want=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _ifa_agent
  local got="${COMPREPLY[*]}"
  if [ "$got" != "$want" ]; then
    echo "completion check: ${COMP_WORDS[*]}<Tab> gives \"$got\", not \"$want\"" >&2
    failed=1
  fi
}
expect "show" ifa-agent sh
expect "plan" ifa-agent pl
expect "completion" ifa-agent compl
expect "--version --help" ifa-agent --
expect "--image" ifa-agent apply --im
expect "--create" ifa-agent apply --cr
expect "--detailed-exitcode" ifa-agent plan --det
expect "IfaVectorMatch" ifa-agent show IfaVec
expect "IfaMetadataConstructProfile IfaMetadataProfile IfaMetadataSelectProfile" \
  ifa-agent tables IfaMetadata
expect "full named" ifa-agent show --format ""
expect "base.conf" ifa-agent apply ba
expect "base.conf" ifa-agent apply --image ba
expect "" ifa-agent apply --lock-timeout ""
expect "validate" ifa-agent help val
expect "bash" ifa-agent completion ""
[ "$failed" = 0 ]
cd /
rm -rf "$work"
echo "completion check: passed"
