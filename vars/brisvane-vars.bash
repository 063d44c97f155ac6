# shellcheck shell=bash
# Bash completion for brisvane-vars, installed as
# share/bash-completion/completions/brisvane-vars. Before the NVRAM file (or
# --domain's name) come the tool's own options, in any order, as
# `--opt value` or `--opt=value`, with `--` ending them; after it, brisvane's
# words: -s or --set and the start-up options, -c or -g. It needs nothing of
# the bash-completion package, so it also works sourced on its own.

# Completes the word under the cursor into COMPREPLY.
_brisvane_vars() {
    # bash splits words at the characters of COMP_WORDBREAKS too, so that
    # `--connect=qemu:///system` arrives as five words; joined again where
    # the line has no blank between them.
    local -a words=()
    local line=${COMP_LINE-} word index cword=0
    for ((index = 0; index <= COMP_CWORD; index++)); do
        word=${COMP_WORDS[index]}
        if ((index > 0)) && [[ -n $line && $line != [[:blank:]]* ]]; then
            words[${#words[@]} - 1]+=$word
        else
            words+=("$word")
        fi
        line=${line#"${line%%[![:blank:]]*}"}
        line=${line#"$word"}
    done
    cword=$((${#words[@]} - 1))
    local cur=${words[cword]} prefix='' option=''
    local -a before=("${words[@]:1:cword-1}")
    COMPREPLY=()

    # `--opt=value`: the value is completed, and bash replaces what follows
    # the '=' alone where '=' breaks words, as it does by default.
    if [[ $cur == --*=* ]]; then
        option=${cur%%=*} cur=${cur#*=}
        [[ $COMP_WORDBREAKS == *=* ]] || prefix=$option=
    fi

    # Walks the words before the cursor: the tool's options, then the target
    # (the NVRAM file, or --domain's name), then brisvane's words, the first
    # of which says what follows.
    local uri='' target='' brisvane='' count=${#before[@]}
    index=0
    while ((index < count)) && [[ -z $brisvane ]]; do
        word=${before[index]}
        index=$((index + 1))
        case $word in
        --show | --json | --help | --version | --offline) ;;
        -- | --template | --domain | --connect | -c | --timeout)
            if [[ $word == -c && -n $target ]]; then
                brisvane=-c
            elif [[ $word == -- && -n $target ]]; then
                continue
            elif ((index == count)); then
                option=$word
            else
                case $word in
                -- | --domain) target=$word ;;
                --connect | -c) uri=${before[index]} ;;
                esac
                index=$((index + 1))
            fi
            ;;
        --domain=*) target=--domain ;;
        --connect=*) uri=${word#*=} ;;
        -*) [[ -n $target ]] && brisvane=$word ;;
        *) [[ -n $target ]] || target=nvram ;;
        esac
    done
    # -delay's value is a number.
    [[ -n $brisvane && ${before[count - 1]} == -delay ]] && return 0

    local -a replies=()
    case $option in
    --template | --)
        _brisvane_vars_files "$prefix" "$cur"
        return 0
        ;;
    --domain)
        if command -v virsh >/dev/null 2>&1; then
            mapfile -t replies < <(virsh -q -c "${uri:-${LIBVIRT_DEFAULT_URI:-qemu:///system}}" \
                list --all --name 2>/dev/null | grep -v '^$')
            mapfile -t COMPREPLY < <(compgen -P "$prefix" -W "${replies[*]}" -- "$cur")
        else
            _brisvane_vars_files "$prefix" "$cur"
        fi
        return 0
        ;;
    --connect | -c | --timeout) return 0 ;;
    esac

    if [[ $brisvane == -s || $brisvane == --set ]]; then
        replies=(-nomap -nostartup -startup -noversion -noconsolein -noconsoleout
            -nointerrupt -nonest -exit -delay)
    elif [[ -n $brisvane ]]; then
        return 0
    elif [[ -n $target ]]; then
        replies=(-s --set -c -g --show --json)
    elif [[ $cur == -* ]]; then
        replies=(--template --domain --connect --offline --timeout --show --json --help --version --)
    else
        _brisvane_vars_files '' "$cur"
        return 0
    fi
    mapfile -t COMPREPLY < <(compgen -W "${replies[*]}" -- "$cur")
}

# COMPREPLY: the files and folders that begin with $2, each after the prefix
# $1, quoted as file names.
_brisvane_vars_files() {
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -P "$1" -f -- "$2")
}

complete -F _brisvane_vars brisvane-vars
