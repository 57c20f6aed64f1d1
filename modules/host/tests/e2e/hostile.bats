#!/usr/bin/env bats
load helpers

# git-activity

GA_BLOCK='# >>> pylon git-activity >>>
command -v pylon-host >/dev/null 2>&1 && pylon-host git-activity record >/dev/null 2>&1 || true
# <<< pylon git-activity <<<'

# A repository at $1 with a commit at each epoch second given after it.
ga_repo() {
    git -c init.defaultBranch=main init -q "$1"
    local at
    for at in "${@:2}"; do
        GIT_COMMITTER_DATE="@$at +0000" GIT_AUTHOR_DATE="@$at +0000" \
            git -C "$1" commit -q --allow-empty -m "at $at"
    done
}

ga_setup() {
    T="$(pwd -P)"  # git prints resolved paths
    export PYLON_GIT_ACTIVITY_DIR="$T/markers"
    M="$PYLON_GIT_ACTIVITY_DIR"
    mkdir -p "$M"
}

ga_date() { touch -d "@$2" "$1" 2>/dev/null || touch -t "$(date -r "$2" +%Y%m%d%H%M.%S)" "$1"; }

@test "git-activity: a marker name that is a link is never written through" {
    ga_setup
    ga_repo "$T/r" 1600000000
    local name="${T//\//-}-r"
    printf 'theirs\n' >"$T/target"
    ga_date "$T/target" 1000
    ln -s "$T/target" "$M/$name"

    cd "$T/r"
    run -0 --separate-stderr pylon-host git-activity record
    [ -z "$output" ] && [ -z "$stderr" ]
    run -1 --separate-stderr pylon-host git-activity enable "$T/r"
    [[ "$stderr" =~ ^"pylon-host: could not write marker in $M: ".*" (os error "[0-9]+")"$ ]]

    mkdir -p "$HOME/.kestrel/git-activity"
    : >"$HOME/.kestrel/git-activity/-legacy"
    ga_date "$HOME/.kestrel/git-activity/-legacy" 4000000000  # newer than the link's own time
    ln -s "$T/target" "$M/-legacy"
    run -1 --separate-stderr pylon-host git-activity migrate --apply
    [[ "$stderr" =~ ^"pylon-host: could not create $M/-legacy: ".*" (os error "[0-9]+")"$ ]]

    [ -L "$M/$name" ] && [ -L "$M/-legacy" ]
    [ "$(cat "$T/target")" = theirs ] && [ "$(mtime "$T/target")" = 1000 ]
}

@test "git-activity: a hook another interpreter runs is refused untouched; disable still cleans it" {
    ga_setup
    ga_repo "$T/ws/r" 1600000000
    local hook="$T/ws/r/.git/hooks/post-commit"
    printf '#!/usr/bin/env python3\nprint("mine")\n' >"$hook"
    chmod 644 "$hook"
    cp -p "$hook" "$T/orig"

    run -1 --separate-stderr pylon-host git-activity enable "$T/ws/r"
    [ "$stderr" = "pylon-host: could not enable git-activity in $hook: it is run by python3, not by a shell, so it was left unchanged (to record commits from it, have it run the shell command \`command -v pylon-host >/dev/null 2>&1 && pylon-host git-activity record >/dev/null 2>&1 || true\`)" ]
    run -0 pylon-host git-activity enable-all "$T/ws" --json
    [[ "$output" == *"\"enabled\":[],\"failed\":[{\"repo\":\"$T/ws/r\",\"error\":\"could not enable git-activity in $hook: it is run by python3,"* ]]
    cmp "$hook" "$T/orig"
    [ "$(stat -c %a "$hook" 2>/dev/null || stat -f %Lp "$hook")" = 644 ]
    [ -z "$(ls -A "$M")" ]

    printf '#!/usr/bin/env python3\n%s\nprint("mine")\n' "$GA_BLOCK" >"$hook"
    run -0 pylon-host git-activity disable "$T/ws/r"
    [ "$output" = "git-activity disabled: $hook" ]
    cmp "$hook" "$T/orig"
}

@test "git-activity: stray markers and bytes that are not UTF-8 stay the user's" {
    ga_setup
    ga_repo "$T/r"
    local hook="$T/r/.git/hooks/post-commit"
    local begin='# >>> pylon git-activity >>>'
    printf '#!/bin/sh\n%s\necho caf\351\n%s\necho after\n' "$begin" "$GA_BLOCK" >"$hook"
    printf '#!/bin/sh\n%s\necho caf\351\necho after\n' "$begin" >"$T/without"
    printf '#!/bin/sh\n%s\n%s\necho caf\351\necho after\n' "$GA_BLOCK" "$begin" >"$T/with"

    run -0 pylon-host git-activity disable "$T/r"
    [ "$output" = "git-activity disabled: $hook" ]
    cmp "$hook" "$T/without"
    run -0 pylon-host git-activity enable "$T/r"
    cmp "$hook" "$T/with"
    run -0 pylon-host git-activity enable "$T/r"
    cmp "$hook" "$T/with"
}

@test "git-activity: enable on an older checkout leaves a newer marker where it is" {
    ga_setup
    ga_repo "$T/r" 1600000000 1700000000
    local marker="$M/${T//\//-}-r"
    run -0 pylon-host git-activity enable "$T/r" --json
    [[ "$output" == *'"backfilled":1700000000,"marker_written":true}' ]]
    git -C "$T/r" checkout -q HEAD~1
    run -0 pylon-host git-activity enable "$T/r" --json
    [[ "$output" == *'"backfilled":1600000000,"marker_written":false}' ]]
    [ "$(mtime "$marker")" = 1700000000 ]
}

@test "git-activity: list over names that links let be traced many ways ends quickly, same answers" {
    ga_setup
    mkdir -p "$T/d/real"
    ln -s . "$T/d/h" && ln -s . "$T/d/h-h"
    local base="${T//\//-}-d" many="" i
    for i in $(seq 28); do many+="-h"; done
    : >"$M/$base$many-gone"
    : >"$M/$base-h-h-real"
    local start=$SECONDS
    run -0 pylon-host git-activity list
    [ $((SECONDS - start)) -lt 5 ]
    [[ "$output" == *"  $base$many-gone (repo gone)"* ]]
    [[ "$output" == *"  $T/d/h/h/real"* ]]
}
