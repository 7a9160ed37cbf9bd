#!/usr/bin/env bash
# The bash completion sourced as bash does, asked as bash asks (COMP_WORDS, COMP_CWORD), against
# vivozi's own --help: a command or option the program has and the completion lacks fails here.
# Usage: completion-test.sh VIVOZI COMPLETION_SCRIPT
set -uo pipefail
vivozi=$1
script=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# Nothing of the account's: its sets, demo folder and journal stay out of the test.
export XDG_STATE_HOME=$work/state XDG_CONFIG_HOME=$work/config
export VIVOZI_PERIODIC_ROOT=$work/etc VIVOZI_JOURNAL=$work/journal.sqlite
mkdir -p "$work"/etc/periodic/daily "$work"/etc/cron.weekly "$work"/etc/cron.d \
    "$work"/etc/periodic/monthly "$work"/mine/alpha "$work"/mine/beta "$work"/paths/sub
touch "$work"/paths/file1 "$work"/paths/file2 "$work"/etc/cron.notaset

# shellcheck source=/dev/null
source "$script" || { echo "cannot source $script"; exit 1; }
complete -p vivozi >/dev/null || { echo "no completion registered for vivozi"; exit 1; }

# Completions for a line whose last word is being completed, one per line, sorted.
completions() {
    COMP_WORDS=("$vivozi" "$@")
    COMP_CWORD=$(($# ))
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _vivozi "$vivozi" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
}

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# (expected completions, space separated; the line after `vivozi`, its last word being completed)
while IFS='|' read -r expected line; do
    [[ -z $expected ]] && continue
    [[ $expected == NONE ]] && expected= # no completion at all
    eval "words=($line)"
    got=$(completions "${words[@]}" | tr '\n' ' ' | sed 's/ $//')
    [[ $got == "$expected" ]] || fail "vivozi $line<TAB>: expected '$expected', got '$got'"
done <<EOF
metrics mount-of|m
device-of df|d
always auto never|--color ''
always|--color = al
never|df --color=n
always|report --color al
--demo --demo-dir|run --dem
daily monthly weekly|run ''
daily monthly weekly|run --json d ''
daily|run --json da
alpha beta|run --sets $work/mine ''
alpha|list --sets = $work/mine a
daily fails-on-purpose monthly weekly|list --demo ''
daily monthly weekly|history ''
NONE|history daily ''
$work/paths/file1 $work/paths/file2|df $work/paths/fi
$work/paths/sub|run --sets $work/paths/s
NONE|tmutil destinationinfo ''
NONE|tmutil destinationinfo --j
--json|tmutil --j
sysfs|df -t sysf
--mb|size --m
--version|--ver
--verbose|run --v
EOF

# Every command in the program's help, and no other.
commands=$("$vivozi" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF {print $1}' | sort)
[[ -n $commands ]] || fail "no commands found in vivozi --help"
offered=$(completions '')
[[ $offered == "$commands" ]] ||
    fail "commands: vivozi --help has '$(echo $commands)', the completion '$(echo $offered)'"

# Every option of vivozi and of each command, as its --help lists it.
for command in '' $commands; do
    help=$("$vivozi" $command --help) || fail "vivozi $command --help failed"
    options=$(sed -n '/^Options:/,/^$/p' <<<"$help" | grep -oE '^  -[^ ]+' |
        tr ',' '\n' | sed 's/^ *//' | sort -u)
    [[ -n $options ]] || fail "no options found in vivozi $command --help"
    offered=$(completions $command -)
    for option in $options; do
        grep -qxF -- "$option" <<<"$offered" ||
            fail "vivozi $command: $option is in --help but not completed"
    done
    for option in $offered; do
        grep -qxF -- "$option" <<<"$options" ||
            fail "vivozi $command: $option is completed but not in --help"
    done
done

if ((failures > 0)); then
    echo "$failures failure(s)"
    exit 1
fi
echo "completion: all cases passed"
