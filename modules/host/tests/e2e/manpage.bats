#!/usr/bin/env bats
# The manual page that the build makes from doc/pylon-host.1.scd.
load helpers

page() {
    [ -n "$E2E_MANPAGE" ] || skip "no page in E2E_MANPAGE (the build sets it unless PYLON_MANPAGE=OFF)"
    command -v groff >/dev/null || {
        echo "groff is missing (Debian: groff-base)" >&2
        return 1
    }
}

@test "the page renders without a warning" {
    page
    run -0 --separate-stderr groff -ww -z -t -man -Tutf8 "$E2E_MANPAGE"
    [ -z "$stderr" ]
    run -0 --separate-stderr groff -ww -t -man -Tutf8 "$E2E_MANPAGE"
    [ -z "$stderr" ]
    [[ $output == *"pylon-host - git commit markers"* ]]
}

@test "the page has every verb, flag and variable of the help text" {
    page
    # wide lines, so that no synopsis line wraps
    groff -t -man -Tutf8 -rLL=300n -P-cbou "$E2E_MANPAGE" >page.txt
    local usage group verb word bad=0
    while IFS= read -r usage; do
        usage=${usage#  }
        read -r -a words <<<"${usage%%  *}"
        # "pylon host git-activity VERB ..." and "pylon share VERB ..." are pylon-host's words
        [ "${words[1]}" = host ] && words=("${words[@]:1}")
        group=${words[1]} verb=${words[2]}
        local synopsis
        synopsis=$(grep -E "^ +pylon-host $group $verb( |$)" page.txt) || {
            echo "no synopsis line for $group $verb" >&2
            bad=1
            continue
        }
        for word in "${words[@]:3}"; do
            word=${word#[}
            word=${word%]}
            # optional, or the flag of the verb's other form
            if [[ $word == --* && $synopsis != *"[$word"* && $synopsis != *" $word "* ]]; then
                echo "synopsis of $group $verb lacks $word" >&2
                bad=1
            fi
        done
        grep -qE "^ +$verb( |$)" page.txt || {
            echo "no entry for the verb $verb" >&2
            bad=1
        }
    done < <(pylon-host --help | grep -E '^  pylon (host git-activity|share) ')

    local flag
    while read -r flag value; do
        grep -qE "^ +(-[a-z], )?$flag${value:+ $value}\$" page.txt || {
            echo "no entry for the option $flag $value" >&2
            bad=1
        }
    done < <(pylon-host --help | sed -n '/^options:/,/^$/p' | grep -oE -- '--[a-z-]+( [A-Z]+)?')
    [ "$(pylon-host --help | sed -n '/^options:/,/^$/p' | grep -c -- '--')" -ge 6 ]

    local var
    for var in $(pylon-host --help | grep -oE 'PYLON_[A-Z_]+' | sort -u) PYLON_HOME PYLON_PEERS; do
        grep -qE "^ +$var\$" page.txt || {
            echo "no entry for the variable $var" >&2
            bad=1
        }
    done
    [ "$bad" -eq 0 ]
}

# The member names in the JSON OUTPUT entry HEADING of the page, in order.
documented_members() {
    sed -n '/^JSON OUTPUT/,/^[A-Z]/p' page.txt |
        sed -n "/^ \\{1,8\\}$1\$/,/^\$/p" | sed 1d | grep -oE '"[a-z_]+"' | tr -d '"' | paste -sd ' ' -
}

# The member names of one line of JSON on standard input, in order (no string holds '":').
printed_members() {
    grep -oE '"[a-z_]+":' | tr -d '":' | paste -sd ' ' -
}

# A repository with one commit at DIR.
repo_at() {
    git init -q "$1" && git -C "$1" commit -q --allow-empty -m first
}

@test "the page gives each verb's JSON members in the order the program prints them" {
    page
    groff -t -man -Tutf8 -rLL=300n -P-cbou "$E2E_MANPAGE" >page.txt
    mkdir -p "$HOME/.pylon" "$FAKE_QUAYLINK_ROOT/mini" tree/broken
    repo_at tree/repo
    touch tree/broken/.git a.txt # enable-all fails on broken/, so that "failed" has a member
    # and the repository uses LFS, so that enable-all's "notes" has members
    echo '*.bin filter=lfs' >tree/repo/.gitattributes
    # each heading of the page, with the command lines (after pylon-host, split at ";") whose
    # printed members, one after the other, its entry lists
    local cases=(
        'git-activity enable|ga enable tree/repo'
        'git-activity disable|ga disable tree/repo'
        'git-activity enable-all|ga enable-all tree'
        'git-activity disable-all|ga disable-all tree'
        'git-activity list|ga list'
        'git-activity path|ga path'
        'git-activity migrate|ga migrate'
        'share push|share push a.txt --peer mini'
        'share ls|share ls --peer mini'
        'share pull|share pull a.txt --peer mini'
        'share dir|share dir'
        'share peer|share peer mini;share peer'
    )
    local case heading command printed bad=0
    local -a commands
    for case in "${cases[@]}"; do
        heading=${case%%|*} printed=''
        IFS=';' read -ra commands <<<"${case#*|}"
        for command in "${commands[@]}"; do
            run -0 --separate-stderr pylon-host $command --json
            printed+=" $(printed_members <<<"$output")"
        done
        if [ "$(documented_members "$heading")" != "${printed# }" ]; then
            echo "$heading: the page has '$(documented_members "$heading")'," \
                "the program prints '${printed# }'" >&2
            bad=1
        fi
    done
    [ "$bad" -eq 0 ]
}

@test "the page shows the hook block that enable writes" {
    page
    groff -t -man -Tutf8 -rLL=300n -P-cbou "$E2E_MANPAGE" >page.txt
    repo_at repo
    pylon-host git-activity enable repo >/dev/null
    diff <(grep -A2 '^# >>> pylon git-activity >>>$' repo/.git/hooks/post-commit) \
        <(grep -A2 '^ *# >>> pylon git-activity >>>$' page.txt | sed 's/^ *//')
}
