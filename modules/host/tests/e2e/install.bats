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

@test "install puts each file where it belongs; uninstall removes exactly those, below its DESTDIR" {
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

    # uninstall removes what the record lists: that must be every file, and only those
    run -0 sed "1d; s|^$prefix/||" "$E2E_BUILD_DIR/installed.txt"
    [ "$(printf '%s\n' "${lines[@]}" | LC_ALL=C sort)" = "$(printf '%s\n' "${want[@]}" | LC_ALL=C sort)" ]
    # another DESTDIR, or none, is refused with both named: the live install stays, so do the staged files
    mkdir -p "$prefix/bin" && echo live >"$prefix/bin/pylon-host"
    local other
    for other in "$BATS_TEST_TMPDIR/elsewhere" ""; do
        run -1 env DESTDIR="$other" "$install_tree" uninstall "$E2E_BUILD_DIR"
        [[ $output == *"DESTDIR='$other' is not DESTDIR='$stage' of the install"* ]]
    done
    [ -x "$stage$prefix/bin/pylon-host" ]
    run -0 env DESTDIR="$stage" "$install_tree" uninstall "$E2E_BUILD_DIR"
    [ -z "$(find "$stage" ! -type d)" ]
    [ "$(cat "$prefix/bin/pylon-host")" = live ]
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
