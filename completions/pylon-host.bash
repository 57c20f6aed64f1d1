# bash completion for pylon-host                            -*- shell-script -*-
# Installed as share/bash-completion/completions/pylon-host, where bash-completion finds it;
# it also works when sourced by hand without bash-completion.

# The flags each verb reads, and which of them take a value.
_pylon_host_flags() {
    case $1/$2 in
        ga/record) echo --at --head ;;
        ga/enable | ga/disable) echo --dry-run --global --json ;;
        ga/list | ga/path) echo --json ;;
        ga/status) echo --all --json --timeout ;;
        ga/prune) echo --dry-run --json --restore --timeout ;;
        ga/enable-all | ga/disable-all) echo --dry-run --json --timeout ;;
        ga/migrate) echo --apply --json ;;
        share/push | share/pull | share/ls) echo --peer --timeout --json ;;
        share/dir) echo --open --json ;;
        share/peer) echo --peer --json ;;
        share/peers) echo --json ;;
    esac
}

# The registry's peer names that start with $1 (readline keeps what precedes an "=").
_pylon_host_peers() {
    local name
    while IFS= read -r name; do
        [[ $name == "$1"* ]] && COMPREPLY+=("$name")
    done < <(pylon-host share peers 2>/dev/null)
}

# Rebuilds the words bash split at COMP_WORDBREAKS (--peer=mini arrives as --peer, =, mini) by
# gluing the pieces that touch in the command line. Sets words, cword and cur.
_pylon_host_words() {
    local line=$COMP_LINE i pos=0 tok glued
    words=() cword=0
    for ((i = 0; i < ${#COMP_WORDS[@]}; i++)); do
        tok=${COMP_WORDS[i]}
        glued=1
        while [[ $pos -lt ${#line} && ${line:pos:1} == [[:blank:]] ]]; do
            ((pos++))
            glued=0
        done
        if [[ ${line:pos:${#tok}} != "$tok" ]]; then
            # The line does not read as the words (an odd quoting case): take them as they are.
            words=("${COMP_WORDS[@]}") cword=$COMP_CWORD cur=${COMP_WORDS[COMP_CWORD]}
            return
        fi
        if ((i > 0 && glued)); then
            words[${#words[@]} - 1]+=$tok
        else
            words+=("$tok")
        fi
        ((i == COMP_CWORD)) && cword=$((${#words[@]} - 1))
        ((pos += ${#tok}))
    done
    cur=${words[cword]}
}

_pylon_host() {
    local words cword cur
    _pylon_host_words
    COMPREPLY=()

    if ((cword == 1)); then
        mapfile -t COMPREPLY < <(compgen -W \
            'git-activity gitactivity ga share help --help --describe --version' -- "$cur")
        return
    fi

    local group verbs value_flags
    case ${words[1]} in
        git-activity | gitactivity | ga)
            group=ga verbs='record enable enable-all disable list path migrate status disable-all prune'
            value_flags=' --at --timeout ' ;;
        share)
            group=share verbs='push pull ls dir peer peers'
            value_flags=' --peer --timeout ' ;;
        *) return ;;
    esac

    # The verb and its operands, read the way the program reads them: a flag's value is no
    # operand, a lone "-" is one, and after a lone "--" every word is one.
    local i w skip=0 verb='' operands=0 ended=0 valued=''
    for ((i = 2; i < cword; i++)); do
        w=${words[i]}
        if ((skip)); then
            skip=0
        elif ((!ended)) && [[ $w == -- ]]; then
            ended=1
        elif ((!ended)) && [[ $w == --* ]]; then
            [[ $value_flags == *" $w "* ]] && skip=1 valued=$w
        elif [[ -z $verb ]]; then
            verb=$w
        else
            ((operands++))
        fi
    done
    if ((skip)); then
        # the value of --peer is a registry name; of --timeout or --at, nothing to offer
        [[ $valued == --peer ]] && _pylon_host_peers "$cur"
        return
    fi
    if ((!ended)) && [[ $cur == --peer=* ]]; then
        _pylon_host_peers "${cur#--peer=}"
        return
    fi

    if [[ -z $verb ]]; then
        [[ $cur == -* ]] && ((!ended)) || mapfile -t COMPREPLY < <(compgen -W "$verbs" -- "$cur")
        return
    fi

    # what the word can be besides a flag: files, directories, or only flags
    local kind=''
    case $group/$verb in
        share/push) kind='file' ;;
        ga/enable-all | ga/disable-all) kind='dir' ;;
        ga/enable | ga/disable | ga/status) ((operands == 0)) && kind='dir' ;;
        share/peer) ((operands == 0)) && kind='peer' ;;
        ga/record | ga/list | ga/path | ga/migrate | ga/prune | share/dir | share/peers) kind='flags' ;;
    esac
    if ((ended)); then
        [[ $kind == flags ]] && return
    elif [[ $cur == -* || $kind == flags ]]; then
        [[ $cur == --*=* ]] && return
        # a flag already given is not offered again: the first occurrence wins anyway
        local f left=''
        for f in $(_pylon_host_flags "$group" "$verb"); do
            for ((i = 2; i < cword; i++)); do
                [[ ${words[i]} == "$f" || ${words[i]} == "$f="* ]] && continue 2
            done
            left+=" $f"
        done
        mapfile -t COMPREPLY < <(compgen -W "$left" -- "$cur")
        return
    fi
    [[ -n $kind ]] || return
    if [[ $kind == peer ]]; then
        _pylon_host_peers "$cur"
        return
    fi

    if declare -F _filedir >/dev/null; then
        if [[ $kind == dir ]]; then _filedir -d; else _filedir; fi
    else
        compopt -o filenames 2>/dev/null
        local plain=${cur//\\/}
        plain=${plain#[\'\"]}
        if [[ $kind == dir ]]; then
            mapfile -t COMPREPLY < <(compgen -d -- "$plain")
        else
            mapfile -t COMPREPLY < <(compgen -f -- "$plain")
        fi
    fi

    # readline replaces only the text after the last word-break character ("=", ":", ...)
    local breaks=${COMP_WORDBREAKS//[[:space:]\"\']/}
    local cut=${cur%"${cur##*["$breaks"]}"}
    if [[ -n $breaks && -n $cut ]]; then
        for i in "${!COMPREPLY[@]}"; do
            COMPREPLY[i]=${COMPREPLY[i]#"$cut"}
        done
    fi
} && complete -F _pylon_host pylon-host
