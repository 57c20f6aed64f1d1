#!/usr/bin/env bats
load helpers

mode() { stat -c %a "$1" 2>/dev/null || stat -f %Lp "$1"; }

# A repository at $1 with one commit dated $2 (seconds since 1970), or none without $2.
mkrepo() {
    git -c init.defaultBranch=main init -q "$1"
    if [ -n "${2:-}" ]; then
        GIT_COMMITTER_DATE="@$2 +0000" GIT_AUTHOR_DATE="@$2 +0000" \
            git -C "$1" commit -q --allow-empty -m first
    fi
}

marker_of() { printf '%s/%s' "$PYLON_GIT_ACTIVITY_DIR" "${1//\//-}"; }

eval "sealed_$(declare -f setup)"  # keep the shared setup under another name
setup() {
    sealed_setup
    T="$(pwd -P)"  # git prints resolved paths
    export HOME="$T/home" PYLON_GIT_ACTIVITY_DIR="$T/markers"
}

@test "enable backfills the commit time, and a commit through the hook moves the marker" {
    mkrepo "$T/r" 1600000000
    run -0 --separate-stderr pylon-host git-activity enable "$T/r"
    [ "$output" = "git-activity enabled: $T/r" ]
    [ -z "$stderr" ]
    [ "$(cat "$T/r/.git/hooks/post-commit")" = "#!/bin/sh
$BLOCK" ]
    [ "$(mode "$T/r/.git/hooks/post-commit")" = 755 ]
    [ "$(mtime "$(marker_of "$T/r")")" = 1600000000 ]

    # the hook runs the pylon-host found on PATH, which records the moment it runs
    local before after
    before=$(date +%s)
    GIT_COMMITTER_DATE="@1500000000 +0000" git -C "$T/r" commit -q --allow-empty -m second
    after=$(date +%s)
    local got
    got=$(mtime "$(marker_of "$T/r")")
    [ "$got" -ge "$before" ] && [ "$got" -le "$after" ]
    [ "$(ls "$PYLON_GIT_ACTIVITY_DIR")" = "${T//\//-}-r" ]
}

@test "enable --json names root, hook and marker; backfilled is null without commits" {
    mkrepo "$T/empty"
    run -0 pylon-host ga --json enable "$T/empty"
    [ "$output" = "{\"ok\":true,\"root\":\"$T/empty\",\"hook\":\"$T/empty/.git/hooks/post-commit\",\"marker\":\"$(marker_of "$T/empty")\",\"backfilled\":null,\"marker_written\":true,\"notes\":[],\"global_hooks\":false,\"opt_out_removed\":false}" ]
    [ -f "$(marker_of "$T/empty")" ]

    mkrepo "$T/full" 1700000000
    run -0 pylon-host git-activity enable "$T/full" --json
    [[ "$output" == *'"backfilled":1700000000,"marker_written":true,"notes":[]'* ]]
    run -0 pylon-host git-activity enable "$T/full" --json
    [[ "$output" == *'"backfilled":1700000000,"marker_written":false,"notes":[]'* ]]
}

@test "enable from a subdirectory without REPO names the top level" {
    mkrepo "$T/r" 1600000000
    mkdir -p "$T/r/src/deep"
    builtin cd "$T/r/src/deep"
    run -0 pylon-host git-activity enable
    [ "$output" = "git-activity enabled: $T/r" ]
    [ -x "$T/r/.git/hooks/post-commit" ]
    [ "$(ls "$PYLON_GIT_ACTIVITY_DIR")" = "${T//\//-}-r" ]
    # and given as a relative path
    builtin cd "$T"
    run -0 pylon-host git-activity disable r/src
    [ "$output" = "git-activity disabled: r/src/../.git/hooks/post-commit" ]
}

@test "enable keeps the user's hook, adds execute where read is; disable takes only the block out" {
    mkrepo "$T/r" 1600000000
    local hook="$T/r/.git/hooks/post-commit"
    for case in 644:755 700:700 600:700 640:750 775:775; do
        printf '#!/bin/bash\nmake lint\n' >"$hook"
        chmod "${case%:*}" "$hook"
        run -0 pylon-host git-activity enable "$T/r"
        [ "$(cat "$hook")" = "#!/bin/bash
$BLOCK
make lint" ]
        [ "$(mode "$hook")" = "${case#*:}" ]
    done
    chmod 044 "$hook"  # no execute bit its owner could use can be added without a read bit
    run -1 --separate-stderr pylon-host git-activity enable "$T/r"
    [ "$stderr" = "pylon-host: will not enable $hook: its owner may not read it, so it cannot be made executable without giving more than read allows; chmod u+r it first" ]
    [ "$(mode "$hook")" = 44 ]
    chmod 775 "$hook"

    run -0 pylon-host git-activity enable "$T/r"
    cp "$hook" "$T/once"
    run -0 pylon-host git-activity enable "$T/r"
    cmp "$hook" "$T/once"

    run -0 pylon-host git-activity disable "$T/r"
    [ "$output" = "git-activity disabled: $hook" ]
    [ "$(cat "$hook")" = "#!/bin/bash
make lint" ]
    [ "$(mode "$hook")" = 775 ]
    run -0 pylon-host git-activity disable "$T/r"
    [ "$output" = "git-activity was not enabled here" ]
    run -0 pylon-host git-activity disable --json "$T/r"
    [ "$output" = '{"ok":true,"hook":null,"changed":false,"removed":[],"left":[],"still_recorded":false,"global_opt_out":null}' ]
}

@test "an enabled hook is not written again, only made executable" {
    mkrepo "$T/r" 1600000000
    local hook="$T/r/.git/hooks/post-commit"
    run -0 pylon-host git-activity enable "$T/r"
    local inode
    inode=$(stat -c %i "$hook" 2>/dev/null || stat -f %i "$hook")
    chmod 644 "$hook"
    run -0 pylon-host git-activity enable "$T/r"
    [ "$(stat -c %i "$hook" 2>/dev/null || stat -f %i "$hook")" = "$inode" ]
    [ "$(mode "$hook")" = 755 ]
}

@test "disable in JSON, and on a hook left with only its interpreter line" {
    mkrepo "$T/r"
    run -0 pylon-host git-activity enable "$T/r"
    run -0 pylon-host git-activity disable "$T/r" --json
    [ "$output" = "{\"ok\":true,\"hook\":\"$T/r/.git/hooks/post-commit\",\"changed\":true,\"removed\":[],\"left\":[],\"still_recorded\":false,\"global_opt_out\":null}" ]
    printf '#!/bin/sh\n' | cmp - "$T/r/.git/hooks/post-commit"
    [ -x "$T/r/.git/hooks/post-commit" ]
}

@test "a legacy block is replaced by enable and removed by disable, CRLF normalised" {
    mkrepo "$T/r"
    local hook="$T/r/.git/hooks/post-commit"
    printf '#!/bin/sh\r\necho a\r\n# >>> git-activity recorder >>>\r\nold-recorder\r\n# <<< git-activity recorder <<<\r\n' >"$hook"
    run -0 pylon-host git-activity enable "$T/r"
    [ "$(cat "$hook")" = "#!/bin/sh
$BLOCK
echo a" ]
    [ "$(grep -c $'\r' "$hook")" = 0 ]

    printf '#!/bin/sh\r\n# >>> git-activity recorder >>>\r\nold\r\n# <<< git-activity recorder <<<\r\n' >"$hook"
    run -0 pylon-host git-activity disable "$T/r"
    [ "$output" = "git-activity disabled: $hook" ]
    [ "$(cat "$hook")" = "#!/bin/sh" ]
}

@test "disable leaves a hook without a block byte for byte" {
    mkrepo "$T/r"
    local hook="$T/r/.git/hooks/post-commit"
    # CRLF, trailing spaces, no final newline, and a stray begin marker of ours
    printf '#!/bin/sh\r\necho a  \r\n# >>> pylon git-activity >>>\r\necho b' >"$hook"
    chmod 640 "$hook"
    cp -p "$hook" "$T/orig"
    run -0 pylon-host git-activity disable "$T/r"
    [ "$output" = "git-activity was not enabled here" ]
    cmp "$hook" "$T/orig"
    [ "$(mode "$hook")" = 640 ]
    [ "$(mtime "$hook")" = "$(mtime "$T/orig")" ]

    # enable keeps every line after the stray marker, and adds exactly one block
    run -0 pylon-host git-activity enable "$T/r"
    [ "$(cat "$hook")" = "#!/bin/sh
$BLOCK
echo a  
# >>> pylon git-activity >>>
echo b" ]
}

@test "core.hooksPath is honoured, relative and absolute" {
    mkrepo "$T/r" 1600000000
    mkdir -p "$T/r/sub"
    git -C "$T/r" config core.hooksPath .githooks
    run -0 pylon-host git-activity enable "$T/r/sub" --json
    [[ "$output" == *"\"hook\":\"$T/r/sub/../.githooks/post-commit\""* ]]
    [ -x "$T/r/.githooks/post-commit" ]
    [ ! -e "$T/r/.git/hooks/post-commit" ]

    git -C "$T/r" config core.hooksPath "$T/shared hooks/deep"
    run -0 pylon-host git-activity enable "$T/r"
    [ "$(cat "$T/shared hooks/deep/post-commit")" = "#!/bin/sh
$BLOCK" ]
    run -0 pylon-host git-activity disable "$T/r"
    [ "$output" = "git-activity disabled: $T/shared hooks/deep/post-commit" ]
}

@test "a linked worktree uses the common hooks and its own marker" {
    mkrepo "$T/r" 1600000000
    git -C "$T/r" worktree add -q "$T/wt"
    run -0 pylon-host git-activity enable "$T/wt"
    [ "$output" = "git-activity enabled: $T/wt" ]
    [ -x "$T/r/.git/hooks/post-commit" ]
    [ "$(mtime "$(marker_of "$T/wt")")" = 1600000000 ]

    git -C "$T/wt" commit -q --allow-empty -m in-worktree
    [ "$(mtime "$(marker_of "$T/wt")")" -gt 1600000000 ]
    [ ! -e "$(marker_of "$T/r")" ]
}

@test "a symlinked hook stays a link and its target gets the block" {
    mkrepo "$T/r"
    mkdir -p "$T/dotfiles"
    printf '#!/bin/sh\necho mine\n' >"$T/dotfiles/post-commit"
    chmod 644 "$T/dotfiles/post-commit"
    ln -s ../../../dotfiles/post-commit "$T/r/.git/hooks/post-commit"
    run -0 pylon-host git-activity enable "$T/r"
    [ -L "$T/r/.git/hooks/post-commit" ]
    [ "$(readlink "$T/r/.git/hooks/post-commit")" = ../../../dotfiles/post-commit ]
    [ "$(cat "$T/dotfiles/post-commit")" = "#!/bin/sh
$BLOCK
echo mine" ]
    [ "$(mode "$T/dotfiles/post-commit")" = 755 ]
    [ -z "$(ls -A "$T/dotfiles" | grep -v '^post-commit$')" ]  # no temporary left behind

    run -0 pylon-host git-activity disable "$T/r"
    [ -L "$T/r/.git/hooks/post-commit" ]
    [ "$(cat "$T/dotfiles/post-commit")" = "#!/bin/sh
echo mine" ]
}

@test "a hook that cannot be read is left alone with the error" {
    mkrepo "$T/r"
    local hook="$T/r/.git/hooks/post-commit"
    mkdir "$hook"
    for verb in enable disable; do
        run -1 --separate-stderr pylon-host git-activity $verb "$T/r"
        [ "$stderr" = "pylon-host: could not read $hook: not a regular file" ]
    done
    [ -d "$hook" ]

    [ "$(id -u)" -ne 0 ] || skip "root reads any file"
    rmdir "$hook" && printf 'echo x\n' >"$hook" && chmod 000 "$hook"
    run -1 --separate-stderr pylon-host git-activity enable "$T/r"
    [[ "$stderr" = "pylon-host: could not read $hook: Permission denied (os error 13)" ]]
}

@test "errors name what failed and exit 1" {
    mkdir -p "$T/plain"
    run -1 --separate-stderr pylon-host git-activity enable "$T/plain"
    [ -z "$output" ]
    [ "$stderr" = "pylon-host: not a git repository: $T/plain (run \`pylon host git-activity enable <repo>\` inside one, or pass its path)" ]
    run -1 --separate-stderr pylon-host git-activity disable "$T/nowhere"
    [ "$stderr" = "pylon-host: not a git repository: $T/nowhere" ]
    # a git that cannot be run is not a missing repository
    for verb in enable status; do
        run -1 --separate-stderr env PATH="$T/no-such-dir" "$E2E_BIN" git-activity $verb "$T/plain"
        [ "$stderr" = "pylon-host: could not run \`git\`: No such file or directory (os error 2)" ]
    done
    builtin cd "$T/plain"
    run -1 --separate-stderr pylon-host git-activity enable --json
    [ -z "$output" ]
    [[ "$stderr" == "pylon-host: not a git repository: $T/plain "* ]]

    mkrepo "$T/r" 1600000000
    touch "$T/file"
    git -C "$T/r" config core.hooksPath "$T/file/hooks"
    run -1 --separate-stderr pylon-host git-activity enable "$T/r"
    [ "$stderr" = "pylon-host: could not create $T/file/hooks: Not a directory (os error 20)" ]

    git -C "$T/r" config --unset core.hooksPath
    ln -s "$T/gone/post-commit" "$T/r/.git/hooks/post-commit"
    run -1 --separate-stderr pylon-host git-activity enable "$T/r"
    [ "$stderr" = "pylon-host: could not write $T/r/.git/hooks/post-commit: No such file or directory (os error 2)" ]

    rm "$T/r/.git/hooks/post-commit"
    # a git that names the top level but no hooks directory
    mkdir "$T/shim" && printf '#!/bin/sh\ncase " $* " in *" --git-path "*) exit 128;; esac\nexec %s "$@"\n' \
        "$(command -v git)" >"$T/shim/git" && chmod +x "$T/shim/git"
    PATH="$T/shim:$PATH" run -1 --separate-stderr pylon-host git-activity enable "$T/r"
    [ "$stderr" = "pylon-host: could not locate the hooks directory for $T/r" ]
    PYLON_GIT_ACTIVITY_DIR="$T/file/markers" run -1 --separate-stderr pylon-host git-activity enable "$T/r"
    [ "$stderr" = "pylon-host: could not write marker in $T/file/markers: Not a directory (os error 20)" ]
    [ ! -e "$T/r/.git/hooks/post-commit" ]  # refused before anything is written
}

@test "enable-all enables every repository below the roots, in text and JSON" {
    mkrepo "$HOME/work/a" 1600000000
    mkrepo "$HOME/work/b/nested" 1600000100
    mkrepo "$HOME/work/node_modules/skipped" 1600000200
    mkdir -p "$HOME/work/broken" && echo 'gitdir: /nonexistent' >"$HOME/work/broken/.git"
    builtin cd "$T"
    run -0 --separate-stderr pylon-host git-activity enable-all
    [ "$output" = "git-activity enabled in 2 repo(s), 1 failed" ]
    [ -z "$stderr" ]
    [ -x "$HOME/work/a/.git/hooks/post-commit" ]
    [ ! -e "$HOME/work/node_modules/skipped/.git/hooks/post-commit" ]
    [ "$(mtime "$(marker_of "$HOME/work/b/nested")")" = 1600000100 ]

    run -0 pylon-host git-activity enable-all --json "$HOME/work" "$HOME/work/b"
    [ "$output" = "{\"ok\":true,\"dir\":\"$PYLON_GIT_ACTIVITY_DIR\",\"enabled\":[\"$HOME/work/a\",\"$HOME/work/b/nested\",\"$HOME/work/b/nested\"],\"failed\":[{\"repo\":\"$HOME/work/broken\",\"error\":\"not a git repository: $HOME/work/broken (run \`pylon host git-activity enable <repo>\` inside one, or pass its path)\"}],\"deadline_expired\":false,\"notes\":[]}" ]
}

@test "enable-all: no repositories, a --timeout value that is no root, no HOME" {
    mkdir -p "$T/none"
    run -0 pylon-host git-activity enable-all "$T/none" ""
    [ "$output" = "git-activity enabled in 0 repo(s)" ]
    # a DIR that is not a directory fails before anything is walked or written
    mkrepo "$T/r" 1600000000 && touch "$T/file"
    for args in "enable-all $T/r $T/missing" "disable-all --dry-run $T/r $T/file"; do
        run -1 --separate-stderr pylon-host git-activity $args
        [[ -z "$output" && "$stderr" == "pylon-host: could not walk ${args##* }: "*" (os error "*")" ]]
    done
    [ ! -e "$T/r/.git/hooks/post-commit" ] && [ ! -e "$PYLON_GIT_ACTIVITY_DIR" ]
    run -0 pylon-host git-activity enable-all "$T/none" --json
    [ "$output" = "{\"ok\":true,\"dir\":\"$PYLON_GIT_ACTIVITY_DIR\",\"enabled\":[],\"failed\":[],\"deadline_expired\":false,\"notes\":[]}" ]

    mkrepo "$T/60" 1600000000
    builtin cd "$T"
    run -0 pylon-host git-activity enable-all --timeout 60 "$T/none"
    [ "$output" = "git-activity enabled in 0 repo(s)" ]
    [ ! -e "$T/60/.git/hooks/post-commit" ]

    mkrepo "$T/work/x" 1600000000
    run -0 env -u HOME pylon-host git-activity enable-all --json
    [ "$output" = "{\"ok\":true,\"dir\":\"$PYLON_GIT_ACTIVITY_DIR\",\"enabled\":[\"$T/work/x\"],\"failed\":[],\"deadline_expired\":false,\"notes\":[]}" ]
}

@test "enable-all shares one deadline across its roots and exits 1 when it passes" {
    mkrepo "$T/first/r" 1600000000
    mkrepo "$T/second/r" 1600000000
    # a git that is slow to answer the commit-time query, so the first root's enabling uses up
    # the budget before the second root is walked
    mkdir -p "$T/bin"
    cat >"$T/bin/git" <<EOF
#!/bin/sh
[ "\$1" = log ] && sleep 2
exec $(command -v git) "\$@"
EOF
    chmod +x "$T/bin/git"
    PATH="$T/bin:$PATH" run -1 --separate-stderr pylon-host git-activity enable-all --timeout=1 "$T/first" "$T/second"
    [ "$output" = "git-activity enabled in 1 repo(s) — DEADLINE EXPIRED, the walk is incomplete (raise --timeout)" ]
    [ -z "$stderr" ]
    [ -x "$T/first/r/.git/hooks/post-commit" ]
    [ ! -e "$T/second/r/.git/hooks/post-commit" ]

    PATH="$T/bin:$PATH" run -1 pylon-host git-activity enable-all --json --timeout 1 "$T/first" "$T/second"
    [ "$output" = "{\"ok\":false,\"dir\":\"$PYLON_GIT_ACTIVITY_DIR\",\"enabled\":[\"$T/first/r\"],\"failed\":[],\"deadline_expired\":true,\"notes\":[]}" ]
}

@test "dry runs write nothing; disable-all mirrors enable-all and counts only removed blocks" {
    mkrepo "$HOME/work/a" 1600000000
    mkrepo "$HOME/work/b" 1600000000
    mkdir -p "$HOME/work/broken" && echo 'gitdir: /nonexistent' >"$HOME/work/broken/.git"
    local broken="{\"repo\":\"$HOME/work/broken\",\"error\":\"not a git repository: $HOME/work/broken"
    builtin cd "$T"
    local before && before=$(ls -lAR "$HOME")  # names, modes, sizes: what a write would change
    run -0 --separate-stderr pylon-host git-activity enable-all --dry-run
    [ "$output" = "would enable: $HOME/work/a
would enable: $HOME/work/b
would fail: $HOME/work/broken: not a git repository: $HOME/work/broken (run \`pylon host git-activity enable <repo>\` inside one, or pass its path)
git-activity would enable in 2 repo(s), 1 failed" ] && [ -z "$stderr" ]
    run -0 pylon-host git-activity enable-all --dry-run --json
    [ "$output" = "{\"ok\":true,\"dir\":\"$PYLON_GIT_ACTIVITY_DIR\",\"enabled\":[\"$HOME/work/a\",\"$HOME/work/b\"],\"failed\":[$broken (run \`pylon host git-activity enable <repo>\` inside one, or pass its path)\"}],\"deadline_expired\":false,\"notes\":[],\"dry_run\":true,\"cannot_tell\":[]}" ]
    [ ! -e "$PYLON_GIT_ACTIVITY_DIR" ] && [ ! -e "$HOME/work/a/.git/hooks/post-commit" ]
    [ "$(ls -lAR "$HOME")" = "$before" ]

    pylon-host git-activity enable "$HOME/work/a"
    printf '#!/bin/sh\necho mine\n' >"$HOME/work/b/.git/hooks/post-commit"
    run -0 pylon-host git-activity disable-all --dry-run
    [ "${lines[0]}" = "would disable: $HOME/work/a/.git/hooks/post-commit" ]
    run -0 pylon-host git-activity disable-all --dry-run --json
    [ "$output" = "{\"ok\":true,\"disabled\":[\"$HOME/work/a/.git/hooks/post-commit\"],\"failed\":[$broken\"}],\"deadline_expired\":false,\"dry_run\":true,\"cannot_tell\":[]}" ]
    grep -q 'pylon git-activity' "$HOME/work/a/.git/hooks/post-commit"
    run -0 --separate-stderr pylon-host git-activity disable-all
    [ "$output" = "git-activity disabled in 1 repo(s), 1 failed" ] && [ -z "$stderr" ]
    [ "$(cat "$HOME/work/a/.git/hooks/post-commit")" = "#!/bin/sh" ]
    [ "$(cat "$HOME/work/b/.git/hooks/post-commit")" = "#!/bin/sh
echo mine" ]
    mkdir "$T/none"
    run -0 pylon-host git-activity disable-all --json "$T/none"
    [ "$output" = '{"ok":true,"disabled":[],"failed":[],"deadline_expired":false}' ]
}


@test "on a terminal the walks show progress on standard error, then name what failed" {
    mkrepo "$HOME/work/a" 1600000000
    # a name that would clear the screen is shown, not obeyed, on the terminal only
    local broken="$HOME/work/br"$'\e[2J'"oken" shown="$HOME/work/br\\x1b[2Joken"
    mkdir -p "$broken" && echo 'gitdir: /nonexistent' >"$broken/.git"
    # standard error alone is the terminal: the typescript holds only what went there
    TERM=xterm script -qec "pylon-host git-activity enable-all --dry-run >'$T/out'" "$T/tty" </dev/null
    [ "$(tail -n 1 "$T/out")" = "git-activity would enable in 1 repo(s), 1 failed" ]
    grep -qF "would fail: $broken: " "$T/out"
    local tty && tty=$(tr -d '\r' <"$T/tty")
    [[ "$tty" == *" directories walked, "*" repositories done"$'\e[K'"pylon-host: $shown: not a git repository: $shown"* ]]
    [ "$(grep -c 'pylon-host: ' <<<"$tty")" -eq 1 ]
    # a dumb terminal gets no redrawn line, only the failure
    TERM=dumb script -qec "pylon-host git-activity enable-all --dry-run >/dev/null" "$T/tty" </dev/null
    tty=$(tr -d '\r' <"$T/tty")
    [[ "$tty" == *"pylon-host: $shown: not a git repository: $shown (run"* ]]
    [[ "$tty" != *"directories walked"* && "$tty" != *$'\e'* ]]
}

@test "help after a verb runs nothing; typos and a --dry-run that would be ignored stop" {
    mkrepo "$HOME/work/r" 1600000000
    pylon-host git-activity enable "$HOME/work/r"
    local hook="$HOME/work/r/.git/hooks/post-commit" before
    before=$(cat "$hook")
    cd "$HOME/work/r"
    for args in "enable-all --help" "disable --help" "disable-all -h" "enable --jsn -h" "record -h" "status -h"; do
        run -0 --separate-stderr pylon-host git-activity $args
        [ "${lines[0]%% [[]*}" = "usage: pylon host git-activity ${args%% *}" ]
        [ "${#lines[@]}" -eq 2 ] && [ -z "$stderr" ]
    done
    [ "$(cat "$hook")" = "$before" ]
    [ "$(ls "$PYLON_GIT_ACTIVITY_DIR" | wc -l)" -eq 1 ]
    run -2 --separate-stderr pylon-host ga migrate --aply
    [ -z "$output" ]
    [ "$stderr" = "pylon-host: unknown flag '--aply' (did you mean '--apply'?)" ]
    run -2 --separate-stderr pylon-host ga disable --dry-run
    [ "$stderr" = "pylon-host: 'disable' has a dry run with --global only (nothing was done)" ]
    run -2 pylon-host ga list --apply=yes
    # a second REPO is not dropped in silence, and --all is not read by disable
    mkrepo "$HOME/work/r2" 1600000000
    run -2 --separate-stderr pylon-host ga disable . "$HOME/work/r2"
    [ "$stderr" = "pylon-host: 'disable' takes at most 1 operand ([REPO]), not 2 (nothing was done)" ]
    run -2 --separate-stderr pylon-host ga enable "$HOME/work/r2" .
    run -2 --separate-stderr pylon-host ga status . "$HOME/work/r2"
    run -2 --separate-stderr pylon-host ga disable --all
    [ "$stderr" = "pylon-host: 'disable' does not read --all: it is read only by status (nothing was done)" ]
    [ ! -e "$HOME/work/r2/.git/hooks/post-commit" ]
    [ "$(cat "$hook")" = "$before" ]
    # the hook's entry point is exempt: it records, silently, whatever it is given
    run -0 --separate-stderr pylon-host ga record --bogus
    [ -z "$output" ] && [ -z "$stderr" ]
    run -0 --separate-stderr pylon-host ga record $'\xff'
    [ -z "$output" ] && [ -z "$stderr" ]
}

@test "a named repository is that repository, whatever git variables are inherited" {
    mkrepo "$T/a" 1500000000
    mkrepo "$T/c" 1600000000
    mkrepo "$T/walked/d" 1600000000
    # what git exports to an alias in a linked worktree, or a script sets
    export GIT_DIR="$T/a/.git" GIT_WORK_TREE="$T/a" GIT_INDEX_FILE="$T/a/.git/index"
    # and so is each one a walk finds
    run -0 pylon-host git-activity enable-all --json "$T/walked"
    [[ "$output" == *"\"enabled\":[\"$T/walked/d\"],"* ]]
    [ -x "$T/walked/d/.git/hooks/post-commit" ]
    run -0 pylon-host git-activity enable "$T/c"
    [ "$output" = "git-activity enabled: $T/c" ]
    [ "$(mtime "$(marker_of "$T/c")")" = 1600000000 ]
    grep -qF "$BLOCK" "$T/c/.git/hooks/post-commit"
    [ ! -e "$T/a/.git/hooks/post-commit" ] && [ ! -e "$(marker_of "$T/a")" ]
    run -0 pylon-host git-activity disable "$T/c"
    [ "$output" = "git-activity disabled: $T/c/.git/hooks/post-commit" ]
}

@test "status says what keeps commits from being recorded, and writes nothing" {
    mkrepo "$T/r" 1600000000
    pylon-host git-activity enable "$T/r"
    chmod 744 "$T/r/.git/hooks/post-commit"  # executable for its owner is enough for git
    run -0 pylon-host git-activity status --json "$T/r"
    [[ "$output" == *'{"check":"hook","state":"ok",'*'{"check":"marker","state":"ok",'* ]]
    # a commit that skips the hook, as a merge or a pull does, leaves the marker behind
    GIT_COMMITTER_DATE="@1700000000 +0000" git -C "$T/r" -c core.hooksPath=/dev/null commit -q --allow-empty -m two
    local hook="$T/r/.git/hooks/post-commit"
    # a named repository is that one, whatever git variables are inherited
    mkrepo "$T/other"
    export GIT_DIR="$T/other/.git"
    run -0 --separate-stderr pylon-host git-activity status "$T/r"
    [ -z "$stderr" ]
    [ "${lines[0]}" = "ok       hook          $hook holds the recorder and is executable" ]
    [ "${lines[3]}" = "ok       tools         no hook tool takes the recorder out" ]
    [[ "${lines[6]}" == "warning  marker        $(marker_of "$T/r") is older than the latest commit: the latest commit was made here without the recorder running"* ]]
    [ "${lines[7]}" = "commits in $T/r are recorded (see the warnings above)" ]
    unset GIT_DIR
    # stale is named with its cause, and is no failure
    run -0 pylon-host git-activity status --all
    [[ "${lines[2]}" == "stale         $T/r: $(marker_of "$T/r") is older than the latest commit: the latest commit was made here without the recorder running"* ]]
    run -0 pylon-host git-activity status --all --json
    [[ "$output" == *'"state":"recorded","checks":'*'],"stale":true}],"recorded":1,"total":1,"deadline_expired":false}' ]]

    # status and git agree: the advised line last records, a CRLF #! line does not; below an
    # exec, status cannot tell
    local marker && marker=$(marker_of "$T/r")
    printf '#!/bin/sh\necho mine\n%s\n' "$BLOCK_COMMAND" >"$hook"
    run -0 pylon-host git-activity status "$T/r"
    [ "${lines[7]}" = "commits in $T/r are recorded (see the warnings above)" ]
    touch -d @1600000000 "$marker"
    git -C "$T/r" commit -q --allow-empty -m recorded
    [ "$(mtime "$marker")" -gt 1700000000 ]
    printf '#!/bin/sh\r\n%s\r\n' "$BLOCK_COMMAND" >"$hook"
    run -1 pylon-host git-activity status "$T/r"
    [[ "${lines[0]}" == "problem  hook          $hook has a carriage return at the end of its #! line"* ]]
    [ "${lines[1]}" = "problem  interpreter   the first line of $hook ends in a carriage return, so git cannot run the hook: \`pylon host git-activity enable\` rewrites its line endings as line feeds" ]
    touch -d @1600000000 "$marker"
    git -C "$T/r" commit -q --allow-empty -m unrecorded 2>/dev/null
    [ "$(mtime "$marker")" -eq 1600000000 ]
    printf '#!/bin/sh\nexec true\n%s\n' "$BLOCK" >"$hook"
    run -1 pylon-host git-activity status "$T/r"
    [ "${lines[7]}" = "cannot tell whether commits in $T/r are recorded" ]

    printf '#!/usr/bin/env python3\nprint("mine")\n' >"$hook"
    git config --global core.hooksPath "$T/shared"
    mkdir -p "$T/shared" && cp "$hook" "$T/shared/post-commit" && chmod +x "$T/shared/post-commit"
    local before && before=$(ls -lAR "$T/r" "$T/shared" "$PYLON_GIT_ACTIVITY_DIR")
    run -1 pylon-host git-activity status "$T/r" --json
    [[ "$output" == "{\"ok\":false,\"root\":\"$T/r\",\"hooks_dir\":\"$T/shared\",\"hook\":\"$T/shared/post-commit\",\"enabled\":false,\"checks\":[{\"check\":\"hook\",\"state\":\"problem\","* ]]
    [[ "$output" == *'{"check":"interpreter","state":"problem","detail":"the hook is run by python3, not by a shell'* ]]
    [[ "$output" == *'{"check":"hooks-dir","state":"warning","detail":"core.hooksPath comes from the global configuration'* ]]
    # the machine-wide setting serves every repository as much as the user's does
    printf '[core]\n\thooksPath = %s\n' "$T/shared" >"$T/system.gitconfig"
    run -1 env -u GIT_CONFIG_NOSYSTEM GIT_CONFIG_SYSTEM="$T/system.gitconfig" GIT_CONFIG_GLOBAL=/dev/null \
        pylon-host git-activity status "$T/r" --json
    [[ "$output" == *'{"check":"hooks-dir","state":"warning","detail":"core.hooksPath comes from the system configuration'* ]]
    [[ "$output" == *'{"check":"path","state":"ok",'*'{"check":"desktop-path",'*'{"check":"marker","state":"warning",'* ]]
    PATH=/usr/bin:/bin run -1 "$E2E_BIN" git-activity status "$T/r"
    [[ "$output" == *$'\n'"problem  path          pylon-host is not on PATH, so the hook skips recording"* ]]
    [ "${lines[7]}" = "commits in $T/r are NOT recorded" ]
    [ "$(ls -lAR "$T/r" "$T/shared" "$PYLON_GIT_ACTIVITY_DIR")" = "$before" ]

    mkdir "$T/plain"
    run -1 --separate-stderr pylon-host git-activity status "$T/plain"
    [ "$stderr" = "pylon-host: not a git repository: $T/plain" ] && [ -z "$output" ]

    # a block that no longer runs, a marker record leaves alone, a path no marker name can hold
    git config --global --unset core.hooksPath
    printf '#!/bin/sh\n%s\n' "${BLOCK/command -v/# command -v}" >"$hook"
    ln "$(marker_of "$T/r")" "$T/second-name"
    run -1 pylon-host git-activity status "$T/r" --json
    [[ "$output" == *'"enabled":false,'*"holds the recorder block commented out or edited"*"$(marker_of "$T/r") has other hard links"* ]]
    local long && long="$T/$(printf '%0250d' 0)"
    mkrepo "$long"
    run -1 pylon-host git-activity status "$long"
    [[ "$output" == *$'\n'"problem  marker        no marker can be written for this path"* ]]
}

@test "a hooks directory the team tracks is never edited; one git does not track is" {
    local line=$BLOCK_COMMAND
    local hooks="$T/team/.hooks"
    # a hook manager's layout: the team's hooks tracked in the work tree, no post-commit yet
    mkrepo "$T/team" 1600000000
    mkdir "$hooks" && printf '#!/bin/sh\n' >"$hooks/pre-commit"
    git -C "$T/team" add .hooks && git -C "$T/team" commit -qm hooks
    git -C "$T/team" config core.hooksPath .hooks
    local refusal="will not edit $hooks/post-commit: the team's hooks directory $hooks is tracked by git, so the recorder would reach everyone who shares the repository; if they all want it, add this line to $hooks/post-commit by hand: $line"
    run -1 --separate-stderr pylon-host git-activity enable "$T/team"
    [ "$stderr" = "pylon-host: $refusal" ]
    [ ! -e "$hooks/post-commit" ] && [ ! -e "$(marker_of "$T/team")" ]
    run -0 pylon-host git-activity enable-all --dry-run "$T/team"
    [ "${lines[0]}" = "would fail: $T/team: $refusal" ]

    printf '#!/bin/sh\necho team\n' >"$hooks/post-commit" && chmod +x "$hooks/post-commit"
    git -C "$T/team" add .hooks && git -C "$T/team" commit -qm post
    run -0 pylon-host git-activity enable-all --json "$T/team"
    [[ "$output" == *"\"enabled\":[],\"failed\":[{\"repo\":\"$T/team\",\"error\":\"$refusal\"}]"* ]]
    [ "$(cat "$hooks/post-commit")" = $'#!/bin/sh\necho team' ]
    run -1 pylon-host git-activity status "$T/team"
    [ "${lines[2]}" = "problem  hooks-dir     $hooks is tracked by git: shared with the team, so enable will not edit it" ]

    # the team put the block in itself: commits are recorded, and enable only backfills
    printf '#!/bin/sh\n%s\n' "$BLOCK" >"$hooks/post-commit"
    git -C "$T/team" add .hooks && git -C "$T/team" commit -qm block
    # git skips a hook it cannot execute, and an execute bit would change the team's file
    chmod a-x "$hooks/post-commit"
    run -1 pylon-host git-activity enable "$T/team"
    [ "$(mode "$hooks/post-commit")" = 644 ]
    chmod a+x "$hooks/post-commit"
    run -0 pylon-host git-activity enable "$T/team"
    [ -e "$(marker_of "$T/team")" ] && [ -z "$(git -C "$T/team" status --porcelain)" ]
    run -0 pylon-host git-activity status "$T/team"
    [ "${lines[2]}" = "warning  hooks-dir     $hooks is tracked by git: shared with the team, whose hook records commits here" ]
    run -1 --separate-stderr pylon-host git-activity disable "$T/team"
    [[ "$stderr" == "pylon-host: will not edit $hooks/post-commit: the team's hooks directory $hooks is tracked by git, so removing"* ]]
    [ -z "$(git -C "$T/team" status --porcelain)" ]

    # a generated hooks directory that git does not track is enabled as ever
    mkrepo "$T/gen" 1600000000
    git -C "$T/gen" config core.hooksPath .githooks
    run -0 pylon-host git-activity enable "$T/gen"
    grep -qF "$BLOCK" "$T/gen/.githooks/post-commit"
}

@test "status --all and prune judge every marker by one rule; prune removes only the gone" {
    local m=$PYLON_GIT_ACTIVITY_DIR
    mkrepo "$T/x/a-b" 1600000000 && mkdir -p "$T/x/a/b"  # two paths, one marker name
    mkrepo "$T/off" 1600000000
    mkrepo "$T/gone" 1600000000
    mkrepo "$T/linked" 1600000000
    for r in x/a-b off gone linked; do pylon-host git-activity enable "$T/$r" >/dev/null; done
    pylon-host git-activity disable "$T/off" >/dev/null
    rm -rf "$T/gone" "$T/linked"
    ln "$(marker_of "$T/linked")" "$T/second-name"         # a marker with another hard link
    : >"$m/-mnt-pylonabsent-r"                           # on a volume that is not mounted
    ln -s "$T/nowhere" "$(marker_of "$T/gone-too")"      # a link prune never removes
    : >"$T/gone-too"                                     # a file where its repository was
    local gone && gone=$(basename "$(marker_of "$T/gone")")
    local linked && linked=$(basename "$(marker_of "$T/linked")")
    local prune_hint="its repository is no longer there: \`pylon host git-activity prune\` removes the marker"

    run -1 --separate-stderr pylon-host git-activity status --all
    [[ "${lines[2]}" == "unreachable   -mnt-pylonabsent-r: /mnt"*" is missing or not mounted, so prune keeps the marker (if the repository is truly gone, \`pylon host git-activity prune NAME\` removes it)" ]]
    [ "${lines[3]}" = "gone          $gone: $prune_hint" ]
    [ "${lines[4]}" = "gone          $gone-too: $prune_hint" ]
    [ "${lines[5]}" = "gone          $linked: $prune_hint" ]
    [ "${lines[6]}" = "not recorded  $T/off: $T/off/.git/hooks/post-commit does not hold the recorder block: run \`pylon host git-activity enable\`" ]
    [ "${lines[7]}" = "1 of 6 repositories recorded" ] && [ "${#lines[@]}" = 8 ]
    run -1 pylon-host git-activity status --all --json
    [[ "$output" == '{"ok":false,"machine":[{"check":"path",'*"{\"marker\":\"$gone\",\"root\":null,\"state\":\"gone\",\"checks\":[{\"check\":\"repository\",\"state\":\"problem\","*"{\"marker\":\"$(basename "$(marker_of "$T/x/a-b")")\",\"root\":\"$T/x/a-b\",\"state\":\"recorded\",\"checks\":[{\"check\":\"hook\",\"state\":\"ok\","*'],"recorded":1,"total":6,"deadline_expired":false}' ]]
    # without pylon-host on the hook's PATH no repository records, and that alone fails the run
    PATH=/usr/bin:/bin run -1 "$E2E_BIN" git-activity status --all --json
    [[ "$output" != *'"state":"recorded"'* && "$output" == *'"recorded":0,"total":6,"deadline_expired":false}' ]]
    PATH=/usr/bin:/bin PYLON_GIT_ACTIVITY_DIR="$T/no-markers" run -1 "$E2E_BIN" git-activity status --all
    [ "${lines[-1]}" = "0 of 0 repositories recorded" ]
    run -2 --separate-stderr pylon-host git-activity status --all "$T/off"
    [[ "$stderr" == "pylon-host: status --all takes no REPO"* ]]
    PYLON_GIT_ACTIVITY_DIR="$T/gone-too" run -1 --separate-stderr pylon-host git-activity status --all
    [ "$stderr" = "pylon-host: could not read the marker directory $T/gone-too: Not a directory (os error 20)" ]

    run -0 pylon-host git-activity prune --dry-run --json
    [ "$output" = "{\"ok\":true,\"removed\":[\"$gone\"],\"removed_times\":[1600000000],\"unreachable\":[\"-mnt-pylonabsent-r\"],\"deadline_expired\":false,\"dry_run\":true}" ]
    [ -e "$m/$gone" ]
    [ ! -e "$HOME/.local/state" ]  # a dry run writes no journal
    run -0 --separate-stderr pylon-host git-activity prune
    [[ "${lines[0]}" == "kept (unreachable): -mnt-pylonabsent-r: /mnt"* ]]
    [ "${lines[1]}" = "removed: $gone" ]
    [[ "${lines[2]}" == "kept: $gone-too: its repository is gone, but it is not an empty file"* ]]
    [ "${lines[3]}" = "kept: $linked: its repository is gone, but it is not an empty file with one name (another hard link, a symbolic link, a directory or a file with content), so prune leaves it" ]
    [ "${lines[4]}" = "1 marker(s) removed, 1 kept as unreachable, 2 kept otherwise" ]
    [ ! -e "$m/$gone" ] && [ -L "$m/$gone-too" ] && [ -e "$m/-mnt-pylonabsent-r" ] && [ -e "$m/$linked" ]
    [ -e "$(marker_of "$T/x/a-b")" ] && [ -e "$(marker_of "$T/off")" ]

    [ "$(id -u)" != 0 ] || return 0  # root may unlink in a read-only directory
    : >"$m/$gone" && chmod a-w "$m"
    run -1 --separate-stderr pylon-host git-activity prune --json
    chmod u+w "$m"
    [[ "$output" == '{"ok":false,"removed":[],'* ]]
    [ "$stderr" = "pylon-host: could not remove $m/$gone: Permission denied (os error 13)" ]
}

@test "prune NAME acts on the named markers only, refusing as a whole; --restore gives them back" {
    local m=$PYLON_GIT_ACTIVITY_DIR
    mkrepo "$T/keep" 1600000000 && mkrepo "$T/one" 1600000001 && mkrepo "$T/two" 1600000002
    for r in keep one two; do pylon-host git-activity enable "$T/$r" >/dev/null; done
    rm -rf "$T/one" "$T/two"
    : >"$m/-mnt-pylonabsent-r" && touch -d @1500000000 "$m/-mnt-pylonabsent-r"
    local keep one two
    keep=$(basename "$(marker_of "$T/keep")") one=$(basename "$(marker_of "$T/one")")
    two=$(basename "$(marker_of "$T/two")")

    # after "--" every word is a name
    run -1 --separate-stderr pylon-host git-activity prune -- --dry-run
    [ "$stderr" = "pylon-host: will not prune '--dry-run': no marker in $m (neither a marker's name nor the path of a repository that has one) (nothing was removed)" ]
    run -1 --separate-stderr pylon-host git-activity prune "$T/keep" "$one"
    [ "$stderr" = "pylon-host: will not prune '$keep': its repository is there ($T/keep) (nothing was removed)" ]
    [ -e "$m/$one" ] && [ -e "$m/$two" ] && [ -e "$m/-mnt-pylonabsent-r" ]

    # a named unreachable marker goes: the user says it is gone
    run -0 --separate-stderr pylon-host git-activity prune "$T/one/" -- -mnt-pylonabsent-r
    [ "${lines[0]}" = "removed: -mnt-pylonabsent-r" ] && [ "${lines[1]}" = "removed: $one" ]
    [ ! -e "$m/$one" ] && [ ! -e "$m/-mnt-pylonabsent-r" ] && [ -e "$m/$two" ] && [ -e "$m/$keep" ]
    grep -qF "\"name\":\"$one\",\"mtime\":1600000001" "$HOME"/.local/state/pylon-host/journal*.jsonl
    # an unreachable marker alone is a warning: nothing is wrong
    rm "$m/$two" && : >"$m/-mnt-pylonabsent-q"
    run -0 pylon-host git-activity status --all

    run -0 pylon-host git-activity prune --restore --dry-run --json
    [ "$output" = "{\"ok\":true,\"restored\":[\"-mnt-pylonabsent-r\",\"$one\"],\"restored_times\":[1500000000,1600000001],\"skipped\":[],\"dry_run\":true}" ]
    [ ! -e "$m/$one" ]
    : >"$m/-mnt-pylonabsent-r"  # came back meanwhile
    run -0 --separate-stderr pylon-host git-activity prune --restore
    [ "${lines[0]}" = "restored: $one" ]
    [ "${lines[1]}" = "skipped: -mnt-pylonabsent-r: a file of that name exists again" ]
    [ "$(mtime "$m/$one")" = 1600000001 ]
    run -2 --separate-stderr pylon-host git-activity prune --restore "$one"
    [[ "$stderr" == "pylon-host: prune --restore takes no NAME"* ]]
}

@test "the prune journal: one per directory however spelt, read a line at a time, never a stranger's name" {
    local m=$PYLON_GIT_ACTIVITY_DIR g=${T//\//-}-gone i
    mkdir -p "$m" && ln -s "$m" "$T/link"
    local journal && journal=$(journal_of "$m")
    mkdir -p -m 700 "$(dirname "$journal")"
    for ((i = 0; i < 12000; i++)); do  # an older run of more than 1 MiB
        printf '{"run":1,"name":"-old-%s","mtime":1,"mtime_nsec":0}\n' "$i"
    done >"$journal" && chmod 600 "$journal"
    for i in 1 2 3; do : >"$m/$g$i"; done
    touch -d @1600000000 "$m/${g}1"
    PYLON_GIT_ACTIVITY_DIR="$m/" run -0 pylon-host git-activity prune
    [ "$(wc -l <"$journal")" = 12003 ]
    # a stranger's name, a run past 2^53 and a write cut short are passed over and named
    printf '%s\n' '{"run":3,"name":"..\\x2f..\\x2fescaped","mtime":1,"mtime_nsec":0}' \
        '{"run":18446744073709551615,"name":"-x","mtime":1,"mtime_nsec":0}' >>"$journal"
    printf '{"run":4,"na' >>"$journal"
    PYLON_GIT_ACTIVITY_DIR="$T/link" run -0 pylon-host git-activity prune --restore
    [ "${lines[0]}" = "passed over: $journal line 12004: \"name\" is not a single file name: '../../escaped'" ]
    [ "${lines[1]}" = "passed over: $journal line 12005: \"run\" is not a whole number from 1 to 2^53-1" ]
    [[ "${lines[2]}" == "passed over: $journal line 12006: no newline at its end"* ]]
    [ "${lines[-1]}" = "3 marker(s) restored, 0 skipped" ] && [ ! -e "$T/escaped" ]
    [ "$(mtime "$m/${g}1")" = 1600000000 ]
    # the next run starts on a line of its own, and all of it comes back
    run -0 pylon-host git-activity prune
    [ "${lines[-1]}" = "\`pylon host git-activity prune --restore\` puts them back" ]
    run -0 pylon-host git-activity prune --restore --dry-run --json
    [[ "$output" == '{"ok":true,"restored":["'"$g"'1","'"$g"'2","'"$g"'3"],'* ]]

    if command -v flock >/dev/null; then  # a prune that holds the lock does not stall the next
        flock "${journal%.jsonl}.lock" sleep 30 3>&- &
        sleep 0.2
        run -1 --separate-stderr timeout 20 pylon-host git-activity prune --timeout 1
        kill %1
        [ "$stderr" = "pylon-host: another prune or restore of $m still held ${journal%.jsonl}.lock when the deadline passed (is one suspended? \`fuser\` names its process; raise --timeout to wait longer) (nothing was changed)" ]
    fi
    [ "$(id -u)" = 0 ] || return 0  # root, too, refuses a state directory another user may change
    chown -R 65534 "$(dirname "$journal")"
    run -1 --separate-stderr pylon-host git-activity prune --restore
    [ "$stderr" = "pylon-host: will not use the prune journal: $(dirname "$journal") may be changed by another user than the running one (set XDG_STATE_HOME to a directory of your own) (nothing was changed)" ]
}

@test "a FIFO planted as .git/HEAD stalls neither prune nor status --all" {
    local m=$PYLON_GIT_ACTIVITY_DIR && mkdir -p "$m"
    mkdir -p "$T/trap-a-b/.git" "$T/trap/a-b/.git" "$T/trap-a/b/.git" "$T/trap/a/b/.git"
    for d in "$T/trap-a-b" "$T/trap/a-b" "$T/trap-a/b" "$T/trap/a/b"; do mkfifo "$d/.git/HEAD"; done
    : >"$(marker_of "$T/trap/a/b")"
    local name && name=$(basename "$(marker_of "$T/trap/a/b")")
    # each run is bounded well below git's 20 s deadline per spelling: a hang fails at once
    run -0 timeout 15 pylon-host git-activity prune --json
    [ "$output" = "{\"ok\":true,\"removed\":[],\"removed_times\":[],\"unreachable\":[\"$name\"],\"deadline_expired\":false}" ]
    run -0 timeout 15 pylon-host git-activity status --all
    [[ "$output" == *"$T/trap/a/b/.git holds an entry git reads first that is not a regular file"* ]]
}

# Mounts made in a private mount namespace: unprivileged where the system allows it, else as root.
in_private_mounts() {
    if unshare -rm true 2>/dev/null; then
        unshare -rm --propagation private "$@"
    elif [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
        unshare -m --propagation private "$@"
    else
        skip "no private mount namespace here (unshare -rm refused, and not root)"
    fi
}

@test "prune keeps the markers of volumes that may be away, and removes where absence is certain" {
    local m=$PYLON_GIT_ACTIVITY_DIR
    mkdir -p "$T/disk-a" "$T/disk-b" "$T/nas" "$T/ram" && : >"$T/disk-b/other"
    run -0 in_private_mounts sh -ec '
        T=$1 m=$2
        mkrepo() { git -c init.defaultBranch=main init -q "$1"; git -C "$1" commit -q --allow-empty -m c; }
        mount --bind "$T/disk-a" "$T/nas"                 # a share outside the mount roots
        mkrepo "$T/nas/r" && pylon-host git-activity enable "$T/nas/r" >/dev/null
        mount -t tmpfs none "$T/ram"                      # a memory file system
        mkrepo "$T/ram/r" && pylon-host git-activity enable "$T/ram/r" >/dev/null && : >"$T/ram/x"
        mount -t tmpfs none /mnt && mkdir /mnt/stick      # a stick below /mnt ...
        mount --bind "$T/disk-a" /mnt/stick
        mkrepo /mnt/stick/s && pylon-host git-activity enable /mnt/stick/s >/dev/null
        umount /mnt/stick && mount --bind "$T/disk-b" /mnt/stick  # ... and another one there
        umount "$T/nas"                                   # the share is away: an empty directory
        rm -rf "$T/ram/r"
        echo "== away"
        pylon-host git-activity prune
        mount --bind "$T/disk-a" "$T/nas" && rm -rf "$T/nas/r"
        echo "== deleted on the share"
        pylon-host git-activity prune
        pylon-host git-activity status --all | grep "^unreachable" || true
    ' sh "$T" "$m"
    local nas ram stick
    nas=$(basename "$(marker_of "$T/nas/r")") ram=$(basename "$(marker_of "$T/ram/r")")
    stick=$(basename "$(marker_of /mnt/stick/s)")
    [ "${lines[0]}" = "== away" ]
    [ "${lines[1]}" = "kept (unreachable): $stick: not found below /mnt/stick, on a volume that may be away" ]
    [ "${lines[2]}" = "kept (unreachable): $nas: not found below $T/nas, an empty directory, as an unmounted volume's mount point is" ]
    [ "${lines[3]}" = "removed: $ram" ]
    [ "${lines[6]}" = "== deleted on the share" ]
    [ "${lines[8]}" = "kept (unreachable): $nas: not found below $T/nas, on a volume that may be away" ]
    [[ "${lines[11]}" == "unreachable   $nas: not found below $T/nas, on a volume that may be away, so prune keeps the marker"* ]]
    [ -e "$m/$nas" ] && [ -e "$m/$stick" ] && [ ! -e "$m/$ram" ]
}

@test "a volume outside the fstab mounted in the home stays unreachable while away, whatever its mount point then looks like" {
    mkdir -p "$T/disk-a" "$T/disk-b" "$HOME/mnt/nas" "$HOME/mnt/usb" "$HOME/Vaults/work"
    : >"$HOME/Vaults/work/.not-mounted"
    run -0 in_private_mounts sh -ec '
        H=$2 && mkrepo() { git -c init.defaultBranch=main init -q "$1" && git -C "$1" commit -q --allow-empty -m c; }
        mount --bind "$1/disk-a" "$H/mnt/nas" && mkrepo "$H/mnt/nas/r"
        mount --bind "$1/disk-b" "$H/Vaults/work" && mkrepo "$H/Vaults/work/r"
        pylon-host git-activity enable "$H/mnt/nas/r" >/dev/null
        pylon-host git-activity enable-all "$H/Vaults" >/dev/null
        umount "$H/mnt/nas" && rmdir "$H/mnt/nas"  # the mount point goes at unmount
        umount "$H/Vaults/work"                    # a sentinel file stays in it
        pylon-host git-activity status --all | grep "^unreachable"
        pylon-host git-activity prune
    ' sh "$T" "$HOME"
    local away="a mount point when it was last seen, with nothing mounted there now" nas vault
    nas=$(basename "$(marker_of "$HOME/mnt/nas/r")") vault=$(basename "$(marker_of "$HOME/Vaults/work/r")")
    [[ "${lines[0]}" == "unreachable   $vault: not found below $HOME/Vaults/work, $away, so prune keeps"* ]]
    [[ "${lines[1]}" == "unreachable   $nas: not found below $HOME/mnt/nas, $away, so prune keeps"* ]]
    [ "${lines[3]}" = "kept (unreachable): $nas: not found below $HOME/mnt/nas, $away" ]
    [ "${lines[4]}" = "0 marker(s) removed, 2 kept as unreachable" ]
    [ -e "$(marker_of "$HOME/mnt/nas/r")" ] && [ -e "$(marker_of "$HOME/Vaults/work/r")" ]
}
