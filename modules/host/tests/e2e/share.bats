#!/usr/bin/env bats
load helpers

paired() { mkdir -p "$FAKE_QUAYLINK_ROOT/$1"; }
logged() { cat "$FAKE_QUAYLINK_LOG" 2>/dev/null; }
paired_hint() { printf "(check \`quaylink peers\` — is '%s' paired?)" "$1"; }

@test "push sends each file in order, with its line after the tool's own output" {
    paired mini
    echo a >a.txt && echo b >b.txt
    local here && here=$(pwd -P)
    run -0 --separate-stderr pylon-host share push a.txt --peer mini b.txt
    [ "$output" = "put a.txt -> mini ... 100%
-> mini  a.txt
put b.txt -> mini ... 100%
-> mini  b.txt" ]
    [ -z "$stderr" ]
    [ "$(cat "$FAKE_QUAYLINK_ROOT/mini/b.txt")" = b ]
    [ "$(logged)" = "put
$here/a.txt
mini:/
--
put
$here/b.txt
mini:/
--" ]
}

@test "push stops at the first failed transfer" {
    paired mini
    echo a >a.txt && mkfifo b.txt && echo c >c.txt
    run -1 --separate-stderr pylon-host share push a.txt b.txt c.txt --peer mini
    [ "$output" = "put a.txt -> mini ... 100%
-> mini  a.txt" ]
    [ "$stderr" = "quaylink: $(pwd -P)/b.txt: no such file
pylon-host: quaylink failed talking to peer 'mini': exit 1 $(paired_hint mini)" ]
    [ "$(grep -c -- -- "$FAKE_QUAYLINK_LOG")" -eq 2 ]
    [ ! -e "$FAKE_QUAYLINK_ROOT/mini/c.txt" ]
}

@test "push refuses a directory and a missing file before any transfer" {
    paired mini
    mkdir somedir
    run -2 --separate-stderr pylon-host share push somedir --peer mini
    [ "$stderr" = "pylon-host: somedir is a directory — quaylink put moves one file at a time; archive it first (tar czf somedir.tgz somedir)" ]
    run -1 --separate-stderr pylon-host share push missing.txt --peer mini
    [ "$stderr" = "pylon-host: cannot push missing.txt: No such file or directory (os error 2)" ]
    [ -z "$output" ]
    [ ! -e "$FAKE_QUAYLINK_LOG" ]
}

@test "push --json keeps standard output to the one JSON line" {
    paired mini
    echo a >-x
    local here && here=$(pwd -P)
    run -0 --separate-stderr pylon-host share push --json -x --peer mini
    [ "$output" = "{\"ok\":true,\"peer\":\"mini\",\"pushed\":[\"$here/-x\"]}" ]
    [ "$stderr" = "put -x -> mini ... 100%" ]
}

@test "pull creates the share directory and fetches into it" {
    paired mini
    echo remote >"$FAKE_QUAYLINK_ROOT/mini/r.txt"
    export PYLON_SHARE_PEER=mini
    run -0 --separate-stderr pylon-host share pull r.txt
    [ "$output" = "get r.txt <- mini ... 100%
<- mini  r.txt -> $HOME/work/quaylink-share" ]
    [ "$(cat "$HOME/work/quaylink-share/r.txt")" = remote ]

    export PYLON_SHARE_DIR=shared
    run -0 --separate-stderr pylon-host share pull r.txt --json
    [ "$output" = '{"ok":true,"peer":"mini","pulled":"r.txt","dir":"shared"}' ]
    [ "$stderr" = "get r.txt <- mini ... 100%" ]
    [ -f shared/r.txt ]

    run -2 --separate-stderr pylon-host share pull -x
    [ "$stderr" = "pylon-host: '-x' starts with '-' and would be parsed as a quaylink option; use \`./-x\` if the file really is named that" ]
    run -1 --separate-stderr pylon-host share pull gone.txt
    [ "$stderr" = "quaylink: mini:/gone.txt: no such file
pylon-host: quaylink failed talking to peer 'mini': exit 1 $(paired_hint mini)" ]
}

@test "ls prints the listing, or its lines as JSON" {
    paired mini
    mkdir "$FAKE_QUAYLINK_ROOT/mini/docs"
    touch "$FAKE_QUAYLINK_ROOT/mini/docs/x" "$FAKE_QUAYLINK_ROOT/mini/a.txt"
    run -0 --separate-stderr pylon-host share ls --peer mini
    [ "$output" = "a.txt
docs" ]
    run -0 --separate-stderr pylon-host share ls /docs --peer mini --json
    [ "$output" = '{"ok":true,"peer":"mini","path":"/docs","lines":["x"]}' ]
    [ "$(tail -n 3 "$FAKE_QUAYLINK_LOG")" = "ls
mini:/docs
--" ]
    run -0 --separate-stderr pylon-host share ls docs/x --peer mini
    [ "$output" = x ]

    # the captured error output becomes the reason
    run -1 --separate-stderr pylon-host share ls --peer studio
    [ "$stderr" = "pylon-host: quaylink failed talking to peer 'studio': quaylink: no such peer 'studio' (see \`quaylink peers\`) $(paired_hint studio)" ]
    [ -z "$output" ]
}

@test "ls of an empty share prints nothing" {
    paired mini
    run -0 --separate-stderr pylon-host share ls --peer mini
    [ -z "$output" ]
    [ -z "$stderr" ]
}

@test "dir prints the share directory; --open reports whether an opener took it" {
    run -0 --separate-stderr pylon-host share dir
    [ "$output" = "$HOME/work/quaylink-share" ]
    PYLON_SHARE_DIR= run -0 pylon-host share dir
    [ "$output" = "$HOME/work/quaylink-share" ]
    [ ! -e "$HOME/work" ]

    mkdir bare
    PYLON_SHARE_DIR=shared run -0 --separate-stderr env PATH="$PWD/bare" "$E2E_BIN" share dir --open --json
    [ "$output" = '{"ok":true,"dir":"shared","opened":false}' ]

    # open fails, xdg-open takes it
    mkdir openers
    printf '#!/bin/sh\necho "open $*" >>"%s/opened"\nexit 1\n' "$PWD" >openers/open
    printf '#!/bin/sh\necho "xdg-open $*" >>"%s/opened"\n' "$PWD" >openers/xdg-open
    chmod +x openers/*
    PATH="$PWD/openers:$PATH" run -0 --separate-stderr pylon-host share dir --open
    [ "$output" = "$HOME/work/quaylink-share" ]
    [ "$(cat opened)" = "open $HOME/work/quaylink-share
xdg-open $HOME/work/quaylink-share" ]
}

@test "peer sets the default in share.json and shows it back" {
    run -0 --separate-stderr pylon-host share peer mini
    local config="$HOME/.config/pylon/share.json"
    [ "$output" = "default share peer = mini  ($config)" ]
    [ "$(od -An -c "$config" | tr -s ' \n' ' ')" = " { \\n \" p e e r \" : \" m i n i \" \\n } \\n " ]
    [ "$(wc -c <"$config")" -eq 21 ]
    run -0 --separate-stderr pylon-host share peer
    [ "$output" = mini ]

    mkdir "$HOME/.pylon"
    run -0 --separate-stderr pylon-host share peer studio --json
    [ "$output" = "{\"ok\":true,\"peer\":\"studio\",\"config\":\"$HOME/.pylon/config/share.json\"}" ]
    run -0 --separate-stderr pylon-host share peer --json
    [ "$output" = '{"ok":true,"peer":"studio"}' ]

    run -2 --separate-stderr pylon-host share peer " studio"
    [ "$stderr" = "pylon-host: peer ' studio' is not a quaylink peer name (no ':', whitespace, or control characters) — see \`quaylink peers\`" ]
    [ "$(cat "$HOME/.pylon/config/share.json")" = '{
  "peer": "studio"
}' ]
}

@test "the peer comes from the flag, the environment, share.json, then the registry" {
    export PYLON_HOME="$BATS_TEST_TMPDIR/fleet"
    mkdir -p "$PYLON_HOME/config"
    printf '{"peers": {"studio": {}, "mini": {"transport": "quaylink"}}}' >"$PYLON_HOME/config/peers.json"
    run -1 --separate-stderr pylon-host share peer
    [ "$stderr" = "pylon-host: several peers are registered (mini, studio) and none is the share default — pass \`--peer <name>\` or set one with \`pylon share peer <name>\`" ]
    run -0 pylon-host share peers
    [ "$output" = $'mini\nstudio' ]
    run -0 pylon-host share peers --json
    [ "$output" = '{"ok":true,"peers":["mini","studio"]}' ]
    run -2 --separate-stderr pylon-host share peers mini
    [[ "$stderr" == *'`pylon share peer NAME`)' ]] && [ -z "$output" ]
    printf '{"peers": {}, "peers": {}}' >"$BATS_TEST_TMPDIR/bad.json"
    PYLON_PEERS="$BATS_TEST_TMPDIR/bad.json" run -0 pylon-host share peers --json
    [ "$output" = '{"ok":true,"peers":[]}' ]

    printf '{"peers": {"only": {}}}' >"$PYLON_HOME/config/peers.json"
    run -0 pylon-host share peer
    [ "$output" = only ]
    printf '{"peer": " saved ", "other": 1}' >"$PYLON_HOME/config/share.json"
    run -0 pylon-host share peer
    [ "$output" = saved ]
    PYLON_SHARE_PEER="  " run -0 pylon-host share peer
    [ "$output" = saved ]
    PYLON_SHARE_PEER=$'\xff' run -0 pylon-host share peer
    [ "$output" = saved ]
    PYLON_SHARE_PEER=" env " run -0 pylon-host share peer
    [ "$output" = env ]
    PYLON_SHARE_PEER=env run -0 pylon-host share peer --peer=
    [ "$output" = env ]
    PYLON_SHARE_PEER=env run -0 pylon-host share peer --peer " flag "
    [ "$output" = flag ]
    run -2 --separate-stderr pylon-host share peer --peer a:b
    [ "$stderr" = "pylon-host: peer 'a:b' is not a quaylink peer name (no ':', whitespace, or control characters) — see \`quaylink peers\`" ]

    rm "$PYLON_HOME/config/peers.json" "$PYLON_HOME/config/share.json"
    run -1 --separate-stderr pylon-host share peer
    [ "$stderr" = "pylon-host: no share peer configured — run \`pylon share peer <name>\` (names come from \`quaylink peers\`), or add the host to the fleet with \`pylon peer add <node> <user@host>\`" ]
}

@test "a tool that overruns --timeout is killed and reported" {
    paired mini
    echo a >a.txt
    for verb in "push a.txt" "ls"; do
        # ended long before the tool would end by itself: killed at its deadline
        FAKE_QUAYLINK_SLEEP=60 run -1 --separate-stderr \
            perl -e 'alarm 40; exec @ARGV' pylon-host share $verb --peer mini --timeout 1
        [ "$stderr" = "pylon-host: quaylink failed talking to peer 'mini': \`quaylink\` exceeded its 1s deadline and was terminated $(paired_hint mini)" ]
    done
}

@test "a tool missing from PATH is reported with the install hint" {
    echo a >a.txt
    mkdir bare
    run -1 --separate-stderr env PATH="$PWD/bare" "$E2E_BIN" share push a.txt --peer mini
    [ "$stderr" = "pylon-host: could not run \`quaylink\`: No such file or directory (os error 2) (install quaylink, or put it on PATH — pylon share wraps it, it is not built in)" ]
    [ -z "$output" ]
}

@test "exit statuses: 0 for success, 1 for a failed operation, 2 for a malformed command" {
    paired mini
    run -0 pylon-host share dir
    run -0 pylon-host share ls --peer mini
    FAKE_QUAYLINK_EXIT=3 run -1 pylon-host share ls --peer mini
    FAKE_QUAYLINK_EXIT=3 FAKE_QUAYLINK_STDERR="link down" run -1 --separate-stderr pylon-host share ls --peer mini
    [ "$stderr" = "pylon-host: quaylink failed talking to peer 'mini': link down $(paired_hint mini)" ]
    # whatever the tool prints, a clean exit is success
    FAKE_QUAYLINK_STDERR="warning" run -0 pylon-host share ls --peer mini

    run -2 --separate-stderr pylon-host share
    [ "$stderr" = "pylon-host: usage: pylon share push|pull|ls|dir|peer|peers" ]
    run -2 pylon-host share ""
    run -2 --separate-stderr pylon-host share Push
    [ "$stderr" = "pylon-host: unknown share verb 'Push'. Expected: push | pull | ls | dir | peer | peers (did you mean 'push'?)" ]
    run -2 --separate-stderr pylon-host share push --peer mini
    [ "$stderr" = "pylon-host: usage: pylon share push <file ...> [--peer NAME]" ]
    run -2 --separate-stderr pylon-host share pull
    [ "$stderr" = "pylon-host: usage: pylon share pull <name>" ]
    run -2 pylon-host share ls --peer -x
    [ "$(grep -c -- -- "$FAKE_QUAYLINK_LOG")" -eq 4 ]  # the bad peer never reached the tool
}

@test "help after a verb and a mistyped flag both stop before the tool runs" {
    paired mini
    echo a >README.md
    for args in "push README.md --help" "pull -h x" "ls --peeer mini --help"; do
        run -0 --separate-stderr pylon-host share $args
        [[ "${lines[0]}" == "usage: pylon share ${args%% *} "* ]]
        [ "${#lines[@]}" -eq 2 ] && [ -z "$stderr" ]
    done
    run -2 --separate-stderr pylon-host share push README.md --peeer mini
    [ -z "$output" ]
    [ "$stderr" = "pylon-host: unknown flag '--peeer' (did you mean '--peer'?)" ]
    run -2 --separate-stderr pylon-host share dir --open=1
    [ "$stderr" = "pylon-host: unknown flag '--open=1' (did you mean '--open'?)" ]
    run -2 pylon-host share push README.md --peer mini --dry-run
    [ ! -e "$FAKE_QUAYLINK_LOG" ]
    # after a lone -- every word is an operand, and a flag's value is never taken for a flag
    mkdir "$FAKE_QUAYLINK_ROOT/mini/--help" && echo x >"$FAKE_QUAYLINK_ROOT/mini/--help/in"
    run -0 pylon-host share ls --peer mini -- --help
    [ "$output" = in ]
    run -0 pylon-host share ls --timeout --x --peer mini
}
