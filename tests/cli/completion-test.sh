#!/usr/bin/env bash
# The bash completion sourced and asked as bash does (COMP_WORDS, COMP_CWORD), and held to
# vivozi's own --help: a command or option the program has and the completion lacks fails here.
# Usage: completion-test.sh VIVOZI COMPLETION_SCRIPT
set -uo pipefail
vivozi=$1 work=$(mktemp -d) failures=0
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Nothing of the account's: its sets, demo folder and journal stay out of the test.
export XDG_STATE_HOME=$work/state XDG_CONFIG_HOME=$work/config
export VIVOZI_PERIODIC_ROOT=$work/etc VIVOZI_JOURNAL=$work/journal.sqlite
mkdir -p "$work"/etc/periodic/{daily,monthly} "$work"/etc/cron.{weekly,d} "$work"/mine/{alpha,beta} \
    "$work"/paths/sub
touch "$work"/paths/file{1,2} "$work"/etc/cron.notaset
# shellcheck source=/dev/null
source "$2" && complete -p vivozi >/dev/null || { echo "no completion for vivozi in $2"; exit 1; }

# The completions of the line's last word, sorted, one per line.
completions() {
    COMP_WORDS=("$vivozi" "$@") COMP_CWORD=$# COMPREPLY=()
    COMP_LINE="${COMP_WORDS[*]}" COMP_POINT=${#COMP_LINE}
    _vivozi "$vivozi" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
}

# expected completions (NONE: not one)|the line after `vivozi`, its last word being completed
while IFS='|' read -r expected line; do
    [[ $expected == NONE ]] && expected=
    eval "words=($line)"
    got=$(completions "${words[@]}" | tr '\n' ' ' | sed 's/ $//')
    [[ $got == "$expected" ]] || fail "vivozi $line<TAB>: expected '$expected', got '$got'"
done <<EOF2
always auto never|--color ''
always|--color = al
never|df --color=n
daily monthly weekly|run --json d ''
alpha beta|run --sets $work/mine ''
alpha|list --sets = $work/mine a
daily fails-on-purpose monthly weekly|list --demo ''
daily monthly weekly|history ''
NONE|history daily ''
$work/paths/file1 $work/paths/file2|df $work/paths/fi
$work/paths/sub|run --sets $work/paths/s
NONE|tmutil destinationinfo --j
sysfs|df -t sysf
EOF2

# Every command in the program's help and no other, and each one's options as its --help lists them.
commands=$("$vivozi" --help | sed -n '/^Commands:/,/^$/p' | awk 'NR > 1 && NF {print $1}' | sort)
[[ -n $commands && $(completions '') == "$commands" ]] ||
    fail "commands: vivozi --help has '$(echo $commands)', the completion '$(completions '' | xargs)'"
for command in '' $commands; do
    options=$("$vivozi" $command --help | sed -n '/^Options:/,/^$/p' | grep -oE '^  -[^ ]+(, --[^ ]+)?' |
        tr ',' '\n' | sed 's/^ *//' | sort -u)
    [[ -n $options ]] || fail "no options found in vivozi $command --help"
    offered=$(completions $command -)
    [[ $offered == "$options" ]] ||
        fail "vivozi $command: --help has '$(echo $options)', the completion '$(echo $offered)'"
done
((failures == 0)) && echo "completion: all cases passed"
exit $((failures > 0))
