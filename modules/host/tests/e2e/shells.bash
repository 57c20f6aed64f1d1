# Drives real interactive shells on a terminal to see what a completion offers. Each *_offers
# function takes the setup text for the shell's start-up and command lines typed up to the cursor,
# and prints one line per command line: what was offered, names sorted and space-separated, with
# the trailing "/" of directories dropped (an empty line when nothing was offered).

# Runs COMMAND in a pseudo-terminal with INPUT typed into it (util-linux script).
on_terminal() {
    local command=$1 input=$2
    # Text typed before the shell sets up its line editor waits in the terminal's line buffer,
    # which drops what goes beyond 4095 bytes.
    ((${#input} < 4000)) || {
        echo "on_terminal: ${#input} bytes are too many to type at once; split the cases" >&2
        return 1
    }
    printf '%s' "$input" | TERM=dumb timeout 60 script -qec "$command" /dev/null >/dev/null
}

# bash: readline's insert-completions (M-*) puts every offer into the line, which a key bound to
# a shell function then writes out and clears. The typed line gives the part that was there.
bash_offers() {
    local setup=$1 out=$BATS_TEST_TMPDIR/bash.offers rc=$BATS_TEST_TMPDIR/bashrc input='' line
    shift
    cat >"$rc" <<EOF
PS1='\$ '
$setup
__dump() { printf '%s\n' "\$READLINE_LINE" >>"$out"; READLINE_LINE= READLINE_POINT=0; }
bind -x '"\eq": __dump'
EOF
    for line; do input+="$line"$'\e*\eq'; done
    : >"$out"
    on_terminal "bash --noprofile --rcfile '$rc' -i" "${input}exit"$'\n'
    local -a results
    mapfile -t results <"$out"
    local i=0 typed result
    local -a words
    for typed; do
        result=${results[i++]-}
        words=()
        # the offers replaced the word being completed, the text after the last blank
        [[ $result == "$typed" ]] || read -ra words <<<"${result#"${typed% *} "}"
        offers_line "${words[@]}"
    done
}

# zsh: compadd, which every completion function adds its matches through, is wrapped to write
# them out; a key bound to a widget marks the end of each command line.
zsh_offers() {
    local setup=$1 out=$BATS_TEST_TMPDIR/zsh.offers rc=$BATS_TEST_TMPDIR/zshrc input='' line
    shift
    cat >"$rc" <<EOF
PS1='\$ '
unsetopt beep auto_list
$setup
autoload -Uz compinit && compinit -u -D
compadd() {
  if [[ \${@[1,(i)(-|--)]} == *-(O|A|D)\\ * ]]; then
    builtin compadd "\$@"
    return
  fi
  local -a matches
  builtin compadd -A matches "\$@"
  (( \$#matches )) && print -rl -- \$matches >>"$out"
  builtin compadd "\$@"
}
__dump() { print -r -- '>>end' >>"$out"; BUFFER=; }
zle -N __dump
bindkey '\eq' __dump
EOF
    for line; do input+="$line"$'\t\eq'; done
    : >"$out"
    on_terminal "zsh -f -i" "source '$rc'"$'\n'"${input}exit"$'\n'
    local -a offers=()
    while IFS= read -r line; do
        if [[ $line == '>>end' ]]; then
            offers_line "${offers[@]}"
            offers=()
        else
            offers+=("$line")
        fi
    done <"$out"
}

# fish: complete -C prints what fish would offer, one per line, with a tab before the description.
fish_offers() {
    local setup=$1 line
    local -a words
    shift
    for line; do
        mapfile -t words < <(fish -c "$setup; complete -C '$line'" | cut -f1)
        offers_line "${words[@]}"
    done
}

offers_line() {
    local word joined
    joined=$(for word; do printf '%s\n' "${word%/}"; done | LC_ALL=C sort -u | paste -sd ' ' -)
    echo "$joined"
}

# Checks each "typed line|expected offers" case with SHELL_OFFERS (a function above) and SETUP,
# and names every case that came out different.
check_offers() {
    local shell_offers=$1 setup=$2 case
    shift 2
    local -a typed=() want=() got
    for case; do
        typed+=("${case%%|*}") want+=("${case#*|}")
    done
    mapfile -t got < <("$shell_offers" "$setup" "${typed[@]}")
    local i bad=0
    for i in "${!typed[@]}"; do
        if [[ ${got[i]-} != "${want[i]}" ]]; then
            echo "$shell_offers: '${typed[i]}' offered '${got[i]-}', expected '${want[i]}'" >&2
            bad=1
        fi
    done
    return $bad
}
