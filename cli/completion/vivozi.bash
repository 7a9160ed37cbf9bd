# bash completion for vivozi                                    -*- shell-script -*-
# Stands alone (bash-completion's helpers are not needed); a test holds it to `vivozi --help`.

_vivozi_commands="report run status history log list watch df metrics size compare mount-of
    device-of apfs tmutil"

# The options of each command, and of vivozi before any command ("").
_vivozi_options() {
    local sets="--demo --demo-dir --sets"
    case $1 in
        "") echo "-h --help --version --json --all --color" ;;
        report) echo "-h --help --json --all --color" ;;
        run) echo "-h --help $sets -v --verbose -q --quiet --kill-after --json" ;;
        status | log | list) echo "-h --help $sets --json" ;;
        history) echo "-h --help --limit --page $sets --json" ;;
        watch) echo "-h --help --count --json" ;;
        df) echo "-h --help --all --local -t --type -x --exclude-type --color --json" ;;
        metrics) echo "-h --help --textfile --all --local -t --type -x --exclude-type --demo
            --demo-dir" ;;
        size) echo "-h --help --mb --json" ;;
        compare | mount-of | device-of | apfs | tmutil) echo "-h --help --json" ;;
    esac
}

# Options followed by a value of their own.
_vivozi_takes_value() {
    case $1 in
        --color | --demo-dir | --sets | --kill-after | --limit | --page | --count | -t | --type | \
            -x | --exclude-type | --textfile) return 0 ;;
    esac
    return 1
}

# The sets vivozi would find, asked of vivozi itself with the --demo/--sets words of the line.
_vivozi_sets() {
    local words=("$@") choice=() i
    for ((i = 1; i < ${#words[@]}; i++)); do
        case ${words[i]} in
            --demo) choice+=(--demo) ;;
            --sets | --demo-dir)
                choice+=("${words[i]}")
                [[ ${words[i + 1]} == = ]] && i=$((i + 1))
                i=$((i + 1))
                choice+=("${words[i]/#\~/$HOME}")
                ;;
            --sets=* | --demo-dir=*) choice+=("${words[i]%%=*}" "${words[i]#*=}") ;;
        esac
    done
    "${words[0]/#\~/$HOME}" list "${choice[@]}" 2>/dev/null </dev/null |
        sed -n 's/^\([A-Za-z0-9_-][A-Za-z0-9_-]*\) (.*/\1/p'
}

_vivozi_filesystem_types() {
    { awk '{print $3}' /proc/self/mounts; awk '{print $NF}' /proc/filesystems; } 2>/dev/null |
        sort -u
}

_vivozi_words() {
    local IFS=$' \t\n'
    COMPREPLY=($(compgen -W "$1" -- "$2"))
}

_vivozi_files() {
    local IFS=$'\n'
    COMPREPLY=($(compgen "$1" -- "$2"))
    compopt -o filenames 2>/dev/null
}

_vivozi() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    # bash splits "--color=al" into "--color" "=" "al".
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = && $COMP_CWORD -ge 2 ]]; then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    elif [[ $cur == --*=* ]]; then
        prev=${cur%%=*} cur=${cur#*=}
    fi

    local command= i word positionals=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ ${COMP_WORDS[i + 1]} == = ]]; then
            i=$((i + 2))
        elif [[ $word == -* ]]; then
            _vivozi_takes_value "$word" && i=$((i + 1))
        elif [[ -z $command ]]; then
            command=$word
        else
            positionals=$((positionals + 1))
        fi
    done
    # Everything after tmutil's first argument is the tool's own.
    [[ $command == tmutil && $positionals -gt 0 ]] && return 0

    if _vivozi_takes_value "$prev"; then
        case $prev in
            --color) _vivozi_words "auto always never" "$cur" ;;
            --demo-dir | --sets | --textfile) _vivozi_files -d "$cur" ;;
            -t | --type | -x | --exclude-type) _vivozi_words "$(_vivozi_filesystem_types)" "$cur" ;;
            *) COMPREPLY=() ;;
        esac
        return 0
    fi

    if [[ $cur == -* ]]; then
        _vivozi_words "$(_vivozi_options "$command")" "$cur"
        return 0
    fi

    case $command in
        "") _vivozi_words "$_vivozi_commands" "$cur" ;;
        run | list) _vivozi_words "$(_vivozi_sets "${COMP_WORDS[@]:0:COMP_CWORD}")" "$cur" ;;
        history | log)
            if [[ $positionals -eq 0 ]]; then
                _vivozi_words "$(_vivozi_sets "${COMP_WORDS[@]:0:COMP_CWORD}")" "$cur"
            fi
            ;;
        df) _vivozi_files -f "$cur" ;;
        mount-of) _vivozi_words "$(awk '$1 ~ /^\// {print $1}' /proc/self/mounts 2>/dev/null)" "$cur" ;;
        device-of) _vivozi_words "$(awk '{print $2}' /proc/self/mounts 2>/dev/null)" "$cur" ;;
    esac
    return 0
}

complete -F _vivozi vivozi
