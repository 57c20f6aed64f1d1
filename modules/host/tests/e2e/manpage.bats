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
            if [[ $word == --* && $synopsis != *"[$word"* ]]; then
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
        grep -qE "^ +$flag${value:+ $value}\$" page.txt || {
            echo "no entry for the option $flag $value" >&2
            bad=1
        }
    done < <(pylon-host --help | sed -n '/^options:/,/^$/p' | grep -oE -- '--[a-z]+( [A-Z]+)?')
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

@test "the page gives each verb's JSON members in the order the program prints them" {
    page
    groff -t -man -Tutf8 -rLL=300n -P-cbou "$E2E_MANPAGE" >page.txt
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"
    mkdir -p "$PYLON_GIT_ACTIVITY_DIR" "$HOME/.pylon"
    touch "$PYLON_GIT_ACTIVITY_DIR/-gone"  # one marker, so that its members show
    local heading
    for heading in 'git-activity path' 'git-activity list' 'git-activity migrate'; do
        run -0 --separate-stderr pylon-host $heading --json  # two words: group and verb
        [ "$(documented_members "$heading")" = "$(printed_members <<<"$output")" ] || {
            echo "$heading: the page has '$(documented_members "$heading")'," \
                "the program prints '$(printed_members <<<"$output")'" >&2
            return 1
        }
    done
}
