#!/usr/bin/env bats
# The shell completions of completions/, loaded into real interactive shells.
load helpers
load shells

completions=${E2E_SOURCE_DIR:-$BATS_TEST_DIRNAME/../../../..}/completions

# What every shell offers, as "typed line|offers"; run in a directory holding the files below.
common_cases=(
    'pylon-host git-activity en|enable enable-all'
    'pylon-host gitactivity m|migrate'
    'pylon-host share p|peer peers pull push'
    'pylon-host share --peer mini p|peer peers pull push'
    'pylon-host share push --peer |mini studio'
    'pylon-host share peer |mini studio'
    'pylon-host share peer s|studio'
    'pylon-host ga enable-all --timeout |'
    'pylon-host share push --peer mini -|--json --timeout'
    'pylon-host ga disable-all --dry-run -|--json --timeout'
    'pylon-host share push |a.txt notes.md other sub'
    'pylon-host share push a.txt --peer mini |a.txt notes.md other sub'
    'pylon-host ga enable-all |other sub'
    'pylon-host ga enable-all other |other sub'
    'pylon-host ga enable |other sub'
    'pylon-host ga disable-all |other sub'
    'pylon-host ga status |other sub'
    'pylon-host ga disable --json |other sub'
    'pylon-host ga enable other |'
    'pylon-host share push -- -|'
    'pylon-host ga enable-all -- |other sub'
    'pylon-host ga list -- -|'
    'pylon-host share pull |'
    'pylon-host help |'
    'pylon-host Share |'
)

# Each group's verbs and each verb's flags as the program's tables give them (through the group's
# help and each verb's usage), so that a verb or flag the completions miss fails here.
table_cases() {
    local group verb verbs
    for group in ga share; do
        verbs=$(pylon-host $group --help | sed -E 's/^  pylon (host )?[a-z-]+ ([a-z-]+).*/\2/' |
            LC_ALL=C sort -u)  # a verb's other form has a line of its own
        echo "pylon-host $group |$(paste -sd ' ' - <<<"$verbs")"
        for verb in $verbs; do
            echo "pylon-host $group $verb -|$(pylon-host $group "$verb" --help | head -n 1 |
                grep -oE -- '\[--[a-z-]+' | tr -d '[' | LC_ALL=C sort | paste -sd ' ' -)"
        done
    done
}

# bash also offers the flags of a verb that takes no operands before a "-" is typed (zsh does too
# where the user's prefix-needed style allows; fish shows flags only after a "-").
flag_cases=(
    'pylon-host ga list |--json'
    'pylon-host ga migrate --apply |--json'
    'pylon-host share dir |--json --open'
)

setup_files() {
    mkdir -p files/sub files/other
    touch files/a.txt files/notes.md files/sub/inner.txt
    mapfile -t table < <(table_cases)
    [ "${#table[@]}" -eq 18 ] || return 1  # two groups, sixteen verbs
    printf '{"peers": {"studio": {}, "mini": {}}}' >peers.json
    export PYLON_PEERS=$PWD/peers.json
    cd files || return 1
}

@test "bash offers the groups, verbs, flags, files and directories" {
    setup_files
    check_offers bash_offers "source '$completions/pylon-host.bash'" \
        "${common_cases[@]}" "${table[@]}" "${flag_cases[@]}" \
        'pylon-host |--describe --help --version ga git-activity gitactivity help share' \
        'pylon-host share push sub/|sub/inner.txt' \
        'pylon-host share --peer=mini p|peer peers pull push' \
        'pylon-host share push --timeout=|' \
        'pylon-host share ls --peer=s|--peer=studio'
}

@test "bash offers the same through bash-completion's loader" {
    [ -f /usr/share/bash-completion/bash_completion ] ||
        skip "bash-completion is not installed (Debian: bash-completion)"
    setup_files
    # the loader looks in $BASH_COMPLETION_USER_DIR/completions for pylon-host.bash
    check_offers bash_offers "BASH_COMPLETION_USER_DIR='$completions/..'
source /usr/share/bash-completion/bash_completion" \
        "${common_cases[@]}" "${table[@]}" "${flag_cases[@]}" \
        'pylon-host |--describe --help --version ga git-activity gitactivity help share' \
        'pylon-host share push sub/|sub/inner.txt' \
        'pylon-host share --peer=mini p|peer peers pull push'
}

@test "bash completes file names that need quoting" {
    setup_files
    touch 'b c.txt' 'x:y.txt'
    local bc=/usr/share/bash-completion/bash_completion setups=("source '$completions/pylon-host.bash'")
    [ -f "$bc" ] && setups+=("source '$bc'; source '$completions/pylon-host.bash'")
    for setup in "${setups[@]}"; do
        run bash_offers "$setup" 'pylon-host share push b' 'pylon-host share push x:' \
            'pylon-host share push b\ '
        # the raw lines readline left: each offer is quoted for the shell
        run cat "$BATS_TEST_TMPDIR/bash.offers"
        [ "${lines[0]}" = 'pylon-host share push b\ c.txt ' ]
        [ "${lines[1]}" = 'pylon-host share push x:y.txt ' ]
        [ "${lines[2]}" = 'pylon-host share push b\ c.txt ' ]
    done
}

@test "zsh offers the groups, verbs, flags, files and directories" {
    command -v zsh >/dev/null || skip "zsh is not installed (Debian: zsh)"
    setup_files
    # zsh keeps the directory part of a path aside: its matches are the names inside sub/
    check_offers zsh_offers "fpath=('$completions' \$fpath)" \
        "${common_cases[@]}" "${table[@]}" \
        'pylon-host |--describe --help --version ga git-activity gitactivity help share' \
        'pylon-host share push sub/|inner.txt' \
        'pylon-host share push --timeout=|'
}

@test "fish offers the groups, verbs, flags, files and directories" {
    command -v fish >/dev/null || skip "fish is not installed (Debian: fish)"
    setup_files
    check_offers fish_offers "source '$completions/pylon-host.fish'" \
        "${common_cases[@]}" "${table[@]}" \
        'pylon-host |ga git-activity gitactivity help share' \
        'pylon-host share push sub/|sub/inner.txt' \
        'pylon-host -|--describe --help --version' \
        'pylon-host share --peer=mini p|peer peers pull push'
}
