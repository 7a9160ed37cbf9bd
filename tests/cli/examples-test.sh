#!/usr/bin/env bash
# The man page's examples that show output, run as written: each "$ " line with what follows it
# up to the next, standard error included, must be what vivozi prints.
# Usage: examples-test.sh VIVOZI MAN_PAGE
set -uo pipefail
work=$(mktemp -d) failures=0 command= expected=
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" && ln -s "$(realpath "$1")" "$work/bin/vivozi"
export PATH=$work/bin:$PATH XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state

check() {
    [[ -z $command ]] && return
    got=$(sh -c "$command" 2>&1)
    [[ $got == "$expected" ]] && return
    printf 'FAIL: %s\n--- the man page\n%s\n--- vivozi\n%s\n' "$command" "$expected" "$got"
    failures=$((failures + 1))
}
# The .nf blocks after "What some commands print", roff's \- read as -.
examples=$(sed -n '/^What some commands print/,/^\.fi/p' "$2" | sed '/^\./d; 1d; s/\\-/-/g')
[[ -n $examples ]] || { echo "no examples with output in $2"; exit 1; }
while IFS= read -r line; do
    if [[ $line == '$ '* ]]; then
        check
        command=${line#\$ } expected=
    else
        expected+=${expected:+$'\n'}$line
    fi
done <<<"$examples"
check
((failures == 0)) && echo "examples: all as printed"
exit $((failures > 0))
