#!/usr/bin/env bats
load helpers

# A repository with one commit at a fixed time; prints nothing.
new_repo() {
    git init -q "$1"
    GIT_COMMITTER_DATE="@${2:-1700000000} +0000" GIT_AUTHOR_DATE="@${2:-1700000000} +0000" \
        git -C "$1" commit -q --allow-empty -m first
}

marker_name() { printf '%s' "$1" | tr / -; }

# Dates $1 at the epoch second $2 (GNU touch, then BSD).
date_at() { touch -d "@$2" "$1" 2>/dev/null || touch -t "$(date -r "$2" +%Y%m%d%H%M.%S)" "$1"; }
# Creates or empties a file and dates it.
stamp() { : >"$1" && date_at "$1" "$2"; }

snapshot() { find "$1" | sort | while IFS= read -r f; do echo "$f $(mtime "$f")"; done; }

@test "record writes the top level's marker at --at, from any directory below it" {
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"
    new_repo repo 1600000000
    mkdir -p repo/src/deep
    local top
    top="$(cd repo && pwd -P)"
    local marker="$PYLON_GIT_ACTIVITY_DIR/$(marker_name "$top")"

    cd repo/src/deep
    run -0 --separate-stderr pylon-host git-activity record --at "$(git log -1 --format=%ct)"
    [ -z "$output" ] && [ -z "$stderr" ]
    [ "$(mtime "$marker")" -eq 1600000000 ]
    [ ! -s "$marker" ]
    [ "$(ls -A "$PYLON_GIT_ACTIVITY_DIR")" = "$(marker_name "$top")" ]

    for at in --at=1700000000 '--at= 1700000001 ' '--at=-86400'; do
        run -0 pylon-host ga record "$at"
        [ -z "$output" ]
    done
    [ "$(mtime "$marker")" -eq -86400 ]

    local before
    for at in 17e8 1700000000.5 ''; do
        before="$(date +%s)"
        run -0 pylon-host gitactivity record --at "$at"
        [ "$(mtime "$marker")" -ge "$before" ]
        [ "$(mtime "$marker")" -le "$(date +%s)" ]
    done

    # below it, a .git that git rejects is only a directory: the marker is still the top level's
    cd "$top" && git init -q in && printf 'ref: HEAD\n' >in/.git/HEAD && cd in
    run -0 pylon-host ga record --at 1600000000
    [ "$(mtime "$marker")" -eq 1600000000 ]
    [ "$(ls -A "$PYLON_GIT_ACTIVITY_DIR")" = "$(marker_name "$top")" ]
}

@test "record through a symlinked directory names the repository's real top level" {
    export PYLON_HOME="$BATS_TEST_TMPDIR/fleet"
    new_repo real/repo
    ln -s real linked
    cd linked/repo
    run -0 pylon-host git-activity record --at 1234567890
    local marker="$PYLON_HOME/git-activity/$(marker_name "$(pwd -P)")"
    [ "$(mtime "$marker")" -eq 1234567890 ]
}

@test "record outside a repository or without a writable marker directory is silent and exits 0" {
    mkdir -p "$HOME/.pylon" nowhere
    cd nowhere
    run -0 --separate-stderr pylon-host git-activity record
    [ -z "$output" ] && [ -z "$stderr" ]
    [ ! -e "$HOME/.pylon/git-activity" ]

    cd "$BATS_TEST_TMPDIR"
    new_repo repo
    printf 'a file' >blocker
    cd repo
    PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/blocker/markers" \
        run -0 --separate-stderr pylon-host git-activity record --json
    [ -z "$output" ] && [ -z "$stderr" ]
}

@test "a commit with the recorder in the hook moves the marker to the commit time" {
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"
    new_repo repo 1500000000
    printf '#!/bin/sh\npylon-host git-activity record --at "$(git log -1 --format=%%ct)"\n' \
        >repo/.git/hooks/post-commit
    chmod +x repo/.git/hooks/post-commit
    GIT_COMMITTER_DATE="@1650000000 +0000" git -C repo commit -q --allow-empty -m second
    local marker="$PYLON_GIT_ACTIVITY_DIR/$(marker_name "$(cd repo && pwd -P)")"
    [ "$(mtime "$marker")" -eq 1650000000 ]
}

@test "list shows ages, repositories and gone ones, newest first; JSON has repo null" {
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"
    mkdir -p "$PYLON_GIT_ACTIVITY_DIR" && git init -q repo
    local top now gone
    top="$(cd repo && pwd -P)"
    gone=$(marker_name "$(dirname "$top")/no-such-repo-here")
    now="$(date +%s)"
    stamp "$PYLON_GIT_ACTIVITY_DIR/$(marker_name "$top")" $((now - 100))
    stamp "$PYLON_GIT_ACTIVITY_DIR/$gone" $((now - 3 * 86400))
    stamp "$PYLON_GIT_ACTIVITY_DIR/-" $((now + 3600))
    # a plain directory with a hyphen in its name: shown as the name spells it
    mkdir -p plain/a-b/c && plain="$(cd plain/a-b/c && pwd -P)"
    stamp "$PYLON_GIT_ACTIVITY_DIR/$(marker_name "$plain")" $((now - 7200))
    : >"$PYLON_GIT_ACTIVITY_DIR/.hidden"

    run -0 --separate-stderr pylon-host git-activity list
    [ "${#lines[@]}" -eq 4 ]
    # "/" is there, but it is no repository: its state is the owner rule's, its place is shown
    [ "${lines[0]}" = "   0s ago  /" ]
    [ "${lines[1]}" = "   1m ago  $top" ]
    [ "${lines[2]}" = "   2h ago  $plain" ]
    [ "${lines[3]}" = "   3d ago  $gone (repo gone)" ]

    run -0 pylon-host ga --json list
    [ "$output" = "{\"ok\":true,\"dir\":\"$PYLON_GIT_ACTIVITY_DIR\",\"count\":4,\"markers\":[{\"marker\":\"-\",\"epoch\":$((now + 3600)),\"repo\":\"/\",\"state\":\"unreachable\"},{\"marker\":\"$(marker_name "$top")\",\"epoch\":$((now - 100)),\"repo\":\"$top\",\"state\":\"found\"},{\"marker\":\"$(marker_name "$plain")\",\"epoch\":$((now - 7200)),\"repo\":\"$plain\",\"state\":\"unreachable\"},{\"marker\":\"$gone\",\"epoch\":$((now - 3 * 86400)),\"repo\":null,\"state\":\"gone\"}]}" ]
}

@test "list and path on a marker directory that does not exist" {
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/not yet"
    run -0 --separate-stderr pylon-host git-activity list
    [ "$output" = "no markers in $PYLON_GIT_ACTIVITY_DIR" ]
    run -0 pylon-host git-activity list --json
    [ "$output" = "{\"ok\":true,\"dir\":\"$PYLON_GIT_ACTIVITY_DIR\",\"count\":0,\"markers\":[]}" ]
    run -0 pylon-host git-activity path
    [ "$output" = "$PYLON_GIT_ACTIVITY_DIR" ]
    run -0 pylon-host git-activity path --json
    [ "$output" = "{\"ok\":true,\"dir\":\"$PYLON_GIT_ACTIVITY_DIR\"}" ]
    [ ! -e "$PYLON_GIT_ACTIVITY_DIR" ]
}

@test "path follows the override, then the fleet home, then the legacy directory" {
    run -0 pylon-host git-activity path
    [ "$output" = "$HOME/.kestrel/git-activity" ]
    mkdir "$HOME/.pylon"
    run -0 pylon-host git-activity path
    [ "$output" = "$HOME/.pylon/git-activity" ]
    PYLON_HOME=fleet run -0 pylon-host git-activity path
    [ "$output" = "fleet/git-activity" ]
    PYLON_GIT_ACTIVITY_DIR= PYLON_HOME= run -0 pylon-host git-activity path
    [ "$output" = "$HOME/.pylon/git-activity" ]
    PYLON_GIT_ACTIVITY_DIR=$'b\377' run -0 pylon-host git-activity path  # not UTF-8: ignored
    [ "$output" = "$HOME/.pylon/git-activity" ]
    PYLON_GIT_ACTIVITY_DIR=rel run -0 pylon-host git-activity path
    [ "$output" = "rel" ]
}

@test "migrate describes, then copies with times kept, then has nothing left to do" {
    local legacy="$HOME/.kestrel/git-activity" dir="$HOME/.pylon/git-activity"
    mkdir -p "$legacy/-sub" "$dir"
    stamp "$legacy/-a" 1500000000
    stamp "$legacy/-b" 1600000000
    stamp "$legacy/-c" 1400000000
    stamp "$legacy/.DS_Store" 1400000000
    date_at "$legacy/-sub" 1400000000
    stamp "$dir/-b" 1700000000                    # newer here: left alone
    printf 'old' >"$dir/-c" && date_at "$dir/-c" 1  # older here: overwritten
    local before
    before="$(snapshot "$legacy")"

    run -0 --separate-stderr pylon-host git-activity migrate
    [ "${lines[0]}" = "dry run: 3 of 4 marker(s) in $legacy would be copied to $dir (mtimes preserved, nothing deleted)" ]
    [ "${lines[1]}" = "re-run with --apply to perform it" ]
    [ "${#lines[@]}" -eq 2 ]
    [ ! -e "$dir/-a" ]

    run -0 pylon-host git-activity migrate --json
    [ "$output" = "{\"ok\":true,\"from\":\"$legacy\",\"to\":\"$dir\",\"found\":4,\"would_copy\":3,\"copied\":0,\"applied\":false}" ]

    run -0 pylon-host git-activity migrate --apply
    [ "${lines[0]}" = "migrated 3 marker(s) → $dir" ]
    [ "${lines[1]}" = "$legacy left untouched — remove it with \`trash $legacy\` once dashwell reads the new location" ]
    [ "$(mtime "$dir/-a")" -eq 1500000000 ]
    [ "$(mtime "$dir/-b")" -eq 1700000000 ]
    [ "$(mtime "$dir/-c")" -eq 1400000000 ] && [ ! -s "$dir/-c" ]
    [ -f "$dir/-sub" ] && [ "$(mtime "$dir/-sub")" -eq 1400000000 ]
    [ ! -e "$dir/.DS_Store" ]

    run -0 pylon-host git-activity migrate --apply --json
    [ "$output" = "{\"ok\":true,\"from\":\"$legacy\",\"to\":\"$dir\",\"found\":4,\"would_copy\":0,\"copied\":0,\"applied\":true}" ]
    [ "$(snapshot "$legacy")" = "$before" ]
}

@test "migrate --apply without a legacy directory still creates the marker directory" {
    export PYLON_HOME="$BATS_TEST_TMPDIR/fleet"
    run -0 pylon-host git-activity migrate --apply
    [ "${lines[0]}" = "migrated 0 marker(s) → $PYLON_HOME/git-activity" ]
    [ -d "$PYLON_HOME/git-activity" ]
    [ ! -e "$HOME/.kestrel" ]
}

@test "migrate refuses when the marker directory is the legacy one, however it is spelled" {
    refusal() {
        printf 'pylon-host: the marker directory already IS the legacy one (%s) — there is nothing to migrate; create ~/.pylon (or set $PYLON_HOME) first so the fleet home resolves' "$1"
    }
    run -1 --separate-stderr pylon-host git-activity migrate --apply
    [ -z "$output" ]
    [ "$stderr" = "$(refusal "$HOME/.kestrel/git-activity")" ]
    local spelled="$HOME//.kestrel/./git-activity/"
    PYLON_GIT_ACTIVITY_DIR="$spelled" run -1 --separate-stderr pylon-host git-activity migrate --json
    [ -z "$output" ]
    [ "$stderr" = "$(refusal "$spelled")" ]
    [ ! -e "$HOME/.kestrel" ]
}

@test "git-activity usage and unknown verbs exit 2 and print nothing on stdout" {
    for args in "" "--json" "--at 5" "-- "; do
        run -2 --separate-stderr pylon-host git-activity $args
        [ -z "$output" ]
        [ "$stderr" = "pylon-host: usage: pylon host git-activity record|enable|enable-all|disable|list|path|migrate|status|disable-all|prune" ]
    done
    local expected="Expected: record | enable | enable-all | disable | list | path | migrate | status | disable-all | prune"
    run -2 --separate-stderr pylon-host ga RECORD
    [ -z "$output" ]
    [ "$stderr" = "pylon-host: unknown git-activity verb 'RECORD'. $expected" ]
    run -2 --separate-stderr pylon-host ga --peer List  # --peer takes no value here
    [ "$stderr" = "pylon-host: unknown git-activity verb 'List'. $expected (did you mean 'list'?)" ]
}
