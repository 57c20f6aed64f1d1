#!/usr/bin/env bats
# Hostile situations: files that are not what they seem, paths that look like options, signals from
# outside. The user's files come back as they were, and nothing hangs: every run has a bound.
load helpers

# files, share and signals

# A character device like /dev/$1. As root it is made inside the test directory, so that a faulty
# build can only ever replace our own copy.
device() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "/dev/$1"
        return
    fi
    local numbers
    numbers=$(stat -c '%t %T' "/dev/$1") || return 1
    set -- "$1" $numbers
    mknod "$BATS_TEST_TMPDIR/$1" c "$((16#$2))" "$((16#$3))" 2>/dev/null || return 1
    echo "$BATS_TEST_TMPDIR/$1"
}

node_of() { stat -L -c '%F %t:%T %i' "$1" 2>/dev/null || stat -L -f '%HT %Hr:%Lr %i' "$1"; }
owner_of() { stat -c %u:%g "$1" 2>/dev/null || stat -f %u:%g "$1"; }

# Runs a command that must end within $1 seconds; a hang ends by SIGALRM (status 142), not never.
bounded() { perl -e 'alarm shift; exec @ARGV or die "exec: $!\n"' "$@"; }

@test "a share.json or peers.json that is not a regular file is neither read nor replaced" {
    export PYLON_HOME="$BATS_TEST_TMPDIR/fleet"
    local config="$PYLON_HOME/config"
    mkdir -p "$config"
    mkfifo fifo
    local null zero
    null=$(device null) && zero=$(device zero) || skip "cannot make a device node here"
    local target before
    for target in "$PWD/fifo" "$null" "$zero"; do
        rm -f "$config/peers.json"
        printf '{"peers": {"only": {}}}' >"$config/peers.json"
        ln -sfn "$target" "$config/share.json"
        before=$(node_of "$target")
        run -0 --separate-stderr bounded 10 pylon-host share peer  # share.json reads as absent
        [ "$output" = only ]
        run -1 --separate-stderr bounded 10 pylon-host share peer mini
        [ "$stderr" = "pylon-host: could not write $config/share.json: not a regular file" ]
        [ "$(readlink "$config/share.json")" = "$target" ]
        [ "$(node_of "$target")" = "$before" ]
        [ "$(ls -A "$config")" = "peers.json
share.json" ]  # no temporary left behind

        rm "$config/share.json"
        ln -sfn "$target" "$config/peers.json"  # a registry that cannot be read is empty
        run -1 --separate-stderr bounded 10 pylon-host share peer
        [[ "$stderr" == "pylon-host: no share peer configured — "* ]]
    done
}

@test "a hook that is a FIFO or a link to a device fails alone; a foreign hook keeps its owner" {
    local null
    null=$(device null) || skip "cannot make a device node here"
    local before
    before=$(node_of "$null")
    local repo
    for repo in fifo null plain; do
        git init -q "roots/$repo"
        git -C "roots/$repo" commit -q --allow-empty -m init
    done
    mkfifo roots/fifo/.git/hooks/post-commit
    printf '#!/bin/sh\necho mine\n' >roots/plain/.git/hooks/post-commit
    [ "$(id -u)" -ne 0 ] || chown 65534:65534 roots/plain/.git/hooks/post-commit
    local owner
    owner=$(owner_of roots/plain/.git/hooks/post-commit)
    ln -s "$null" roots/null/.git/hooks/post-commit
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"

    local hook verb
    for repo in fifo null; do
        hook="$PWD/roots/$repo/.git/hooks/post-commit"
        for verb in enable disable; do
            run -1 --separate-stderr bounded 10 pylon-host git-activity $verb "$PWD/roots/$repo"
            [ "$stderr" = "pylon-host: could not read $hook: not a regular file" ]
        done
    done
    run -0 --separate-stderr bounded 20 pylon-host git-activity enable-all roots --json
    [[ "$output" == *'"enabled":["'"$PWD"'/roots/plain"],"failed":[{"repo":"roots/fifo",'*'{"repo":"roots/null","error":"could not read '* ]]
    [ "$(owner_of roots/plain/.git/hooks/post-commit)" = "$owner" ]  # root hands it no one
    grep -q '^echo mine$' roots/plain/.git/hooks/post-commit
    [ -p roots/fifo/.git/hooks/post-commit ]
    [ "$(readlink roots/null/.git/hooks/post-commit)" = "$null" ]
    [ "$(node_of "$null")" = "$before" ]
    [ -z "$(ls -A roots/null/.git/hooks roots/fifo/.git/hooks | grep '^\.')" ]  # no temporaries
}

@test "a relative share directory reaches quaylink as a path, never as an option" {
    mkdir -p "$FAKE_QUAYLINK_ROOT/mini"
    echo a >"$FAKE_QUAYLINK_ROOT/mini/a.txt"
    PYLON_SHARE_DIR=-rf run -0 --separate-stderr pylon-host share pull a.txt --peer mini
    [ "$(cat "$FAKE_QUAYLINK_LOG")" = "get
mini:/a.txt
./-rf
--" ]
    [ "$(cat ./-rf/a.txt)" = a ]
}

@test "a pylon-host killed during a transfer passes the signal on to quaylink and ends by it" {
    mkdir -p "$FAKE_QUAYLINK_ROOT/mini"
    local sig pid fake status sleepers
    # a background job starts with SIGINT ignored, which pylon-host rightly keeps: TERM and HUP
    for sig in TERM HUP; do
        rm -f "$FAKE_QUAYLINK_LOG"
        FAKE_QUAYLINK_SLEEP=30 pylon-host share ls --peer mini >/dev/null 2>&1 &
        pid=$!
        for _ in $(seq 100); do [ -s "$FAKE_QUAYLINK_LOG" ] && break; sleep 0.1; done
        fake=$(pgrep -P "$pid")
        sleepers=$(pgrep -P "$fake" || true)
        kill -"$sig" "$pid"
        status=0
        wait "$pid" || status=$?
        [ "$status" -eq $((128 + $(kill -l "$sig"))) ]
        for _ in $(seq 50); do
            [[ "$(ps -o stat= -p "$fake")" == Z* || -z "$(ps -o stat= -p "$fake")" ]] && break
            sleep 0.1
        done
        [[ "$(ps -o stat= -p "$fake")" == Z* || -z "$(ps -o stat= -p "$fake")" ]]
        [ -z "$sleepers" ] || kill $sleepers 2>/dev/null || true
    done
}
