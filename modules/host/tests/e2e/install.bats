#!/usr/bin/env bats
# `cmake --install` of the build under test into a temporary prefix.
load helpers
load shells

install_into() {
    [ -n "$E2E_BUILD_DIR" ] || skip "no build tree in E2E_BUILD_DIR to install from"
    prefix=$BATS_TEST_TMPDIR/prefix
    cmake --install "$E2E_BUILD_DIR" --prefix "$prefix" >/dev/null
    zsh_dir=$(sed -n 's/^PYLON_ZSH_COMPLETION_DIR:[A-Z]*=//p' "$E2E_BUILD_DIR/CMakeCache.txt")
}

# Notes in the test output what a test left out, and why.
note() { echo "# $*" >&3; }

@test "cmake --install puts each file where it belongs, and the manifest names exactly those" {
    install_into
    local -a want=(
        bin/pylon-host
        share/bash-completion/completions/pylon-host
        share/fish/vendor_completions.d/pylon-host.fish
        "$zsh_dir/_pylon-host"
    )
    [ -n "$E2E_MANPAGE" ] && want+=(share/man/man1/pylon-host.1)
    run -0 bash -c "cd '$prefix' && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort"
    [ "$output" = "$(printf '%s\n' "${want[@]}" | LC_ALL=C sort)" ]

    [ -x "$prefix/bin/pylon-host" ]
    local f
    for f in "${want[@]:1}"; do
        [ "$(stat -c %a "$prefix/$f")" = 644 ]
    done
    cmp "$prefix/share/bash-completion/completions/pylon-host" \
        "$E2E_SOURCE_DIR/completions/pylon-host.bash"

    # `make uninstall` removes what the manifest lists: that must be every file, and only those
    run -0 sed "s|^$prefix/||" "$E2E_BUILD_DIR/install_manifest.txt"
    [ "$(printf '%s\n' "${lines[@]}" | LC_ALL=C sort)" = "$(printf '%s\n' "${want[@]}" | LC_ALL=C sort)" ]
    xargs -d '\n' rm -f -- <"$E2E_BUILD_DIR/install_manifest.txt"
    [ -z "$(find "$prefix" ! -type d)" ]
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
