#!/usr/bin/env bats
# `make install` (scripts/install-tree) of the build under test into a temporary prefix.
load helpers
load shells

# install_into [DESTDIR]
install_into() {
    [ -n "$E2E_BUILD_DIR" ] || skip "no build tree in E2E_BUILD_DIR to install from"
    prefix=$BATS_TEST_TMPDIR/prefix install_tree=$E2E_SOURCE_DIR/scripts/install-tree
    env DESTDIR="${1:-}" "$install_tree" install "$E2E_BUILD_DIR" "$prefix" >/dev/null
    zsh_dir=$(sed -n 's/^PYLON_ZSH_COMPLETION_DIR:[A-Z]*=//p' "$E2E_BUILD_DIR/CMakeCache.txt")
}

# Notes in the test output what a test left out, and why.
note() { echo "# $*" >&3; }

@test "install puts each file where it belongs; uninstall removes exactly those, per install root" {
    local stage=$BATS_TEST_TMPDIR/stage
    install_into "$stage"
    local -a want=(
        bin/pylon-host
        share/bash-completion/completions/pylon-host
        share/fish/vendor_completions.d/pylon-host.fish
        "$zsh_dir/_pylon-host"
    )
    [ -n "$E2E_MANPAGE" ] && want+=(share/man/man1/pylon-host.1)
    run -0 bash -c "cd '$stage$prefix' && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort"
    [ "$output" = "$(printf '%s\n' "${want[@]}" | LC_ALL=C sort)" ]

    [ -x "$stage$prefix/bin/pylon-host" ]
    local f
    for f in "${want[@]:1}"; do
        [ "$(stat -c %a "$stage$prefix/$f")" = 644 ]
    done
    cmp "$stage$prefix/share/bash-completion/completions/pylon-host" \
        "$E2E_SOURCE_DIR/completions/pylon-host.bash"

    # a live install after the staged one, and a second prefix: three roots, three records
    install_into
    env "$install_tree" install "$E2E_BUILD_DIR" "$prefix/other" >/dev/null
    # a root nothing was installed into is refused with both named, and touches nothing
    run -1 env DESTDIR="$BATS_TEST_TMPDIR/elsewhere" "$install_tree" uninstall "$prefix"
    [[ $output == *"nothing installed into DESTDIR='$BATS_TEST_TMPDIR/elsewhere' PREFIX='$prefix'"* ]]
    # from what the record says alone, as a fresh clone would: every file and the directories
    # the install made go, the live root and the other prefix stay
    run -0 env DESTDIR="$stage" "$install_tree" uninstall "$prefix"
    [ -z "$(ls -A "$stage")" ] && [ -x "$prefix/bin/pylon-host" ] && [ -x "$prefix/other/bin/pylon-host" ]
    echo mine >"$prefix/share/mine"  # a file of someone else's keeps its directory
    run -0 env "$install_tree" uninstall "$prefix"
    [ "$(find "$prefix" ! -type d ! -path "$prefix/other/*")" = "$prefix/share/mine" ]
    [ ! -e "$prefix/bin" ] && [ -x "$prefix/other/bin/pylon-host" ]
    run -1 env "$install_tree" uninstall "$prefix"  # the record went with the files
    run -0 env "$install_tree" uninstall "$prefix/other"
    [ "$(find "$prefix" ! -type d)" = "$prefix/share/mine" ] && [ ! -e "$prefix/other" ]
}

@test "from the prefix, the program runs and man and each shell find their files" {
    install_into
    export PATH="$prefix/bin:$PATH" XDG_DATA_DIRS="$prefix/share:/usr/share"
    [ "$(command -v pylon-host)" = "$prefix/bin/pylon-host" ]
    run -0 pylon-host --describe
    [[ $output == "host — machine integration"* ]]

    if [ -z "$E2E_MANPAGE" ]; then
        note "no manual page built"
    elif ! command -v man >/dev/null; then
        note "man not checked: not installed (Debian: man-db)"
    else
        # man-db searches share/man beside each bin directory on PATH
        run -0 env -u MANPATH man -w pylon-host
        [ "$output" = "$prefix/share/man/man1/pylon-host.1" ]
    fi

    mkdir files && cd files
    local done_when='pylon-host git-activity en|enable enable-all'
    if [ -f /usr/share/bash-completion/bash_completion ]; then
        check_offers bash_offers "source /usr/share/bash-completion/bash_completion" "$done_when"
    else
        note "bash not checked: bash-completion is not installed"
    fi
    if command -v zsh >/dev/null; then
        check_offers zsh_offers "fpath=('$prefix/$zsh_dir' \$fpath)" "$done_when"
    else
        note "zsh not checked: not installed"
    fi
    if command -v fish >/dev/null; then
        check_offers fish_offers : "$done_when"
    else
        note "fish not checked: not installed"
    fi
}
