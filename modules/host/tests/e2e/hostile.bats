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
    printf '{"peer": "huge"}' >huge && truncate -s $((1024 * 1024 + 1)) huge  # one byte over
    local target before
    for target in "$PWD/fifo" "$null" "$zero" "$PWD/huge"; do
        rm -f "$config/peers.json"
        printf '{"peers": {"only": {}}}' >"$config/peers.json"
        ln -sfn "$target" "$config/share.json"
        before=$(node_of "$target")
        run -0 --separate-stderr bounded 10 pylon-host share peer  # share.json reads as absent
        [ "$output" = only ]
        run -1 --separate-stderr bounded 10 pylon-host share peer mini
        if [ "$target" = "$PWD/huge" ]; then
            [ "$stderr" = "pylon-host: could not replace $config/share.json: larger than 1 MiB" ]
            [ "$(stat -c %s huge)" = $((1024 * 1024 + 1)) ]
        else
            [ "$stderr" = "pylon-host: could not write $config/share.json: not a regular file" ]
        fi
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
    run -0 --separate-stderr bounded 20 pylon-host git-activity disable-all roots --dry-run --json
    [[ "$output" == *'"failed":[{"repo":"roots/fifo",'*'{"repo":"roots/null","error":"could not read '* ]]
    [ "$(owner_of roots/plain/.git/hooks/post-commit)" = "$owner" ]  # root hands it no one
    grep -q '^echo mine$' roots/plain/.git/hooks/post-commit
    [ -p roots/fifo/.git/hooks/post-commit ]
    [ "$(readlink roots/null/.git/hooks/post-commit)" = "$null" ]
    [ "$(node_of "$null")" = "$before" ]
    [ -z "$(ls -A roots/null/.git/hooks roots/fifo/.git/hooks | grep '^\.')" ]  # no temporaries
}

@test "a hook over 1 MiB: a text one fails alone, a compiled one is judged from its head" {
    local repo
    for repo in elf text plain; do
        git init -q "roots/$repo"
    done
    local big=$((1024 * 1024 + 1)) elf="$PWD/roots/elf/.git/hooks/post-commit"
    local text="$PWD/roots/text/.git/hooks/post-commit"
    printf '\177ELF' >"$elf" && truncate -s $big "$elf"
    printf '#!/bin/sh\n' >"$text" && truncate -s $big "$text"
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"

    run -1 --separate-stderr bounded 10 pylon-host git-activity enable roots/text
    [ "$stderr" = "pylon-host: could not read roots/text/.git/hooks/post-commit: larger than 1 MiB" ]
    run -1 --separate-stderr bounded 10 pylon-host git-activity enable "$PWD/roots/elf"
    [[ "$stderr" == "pylon-host: could not enable git-activity in $elf: it is run by a compiled program, not by a shell"* ]]
    run -0 --separate-stderr bounded 10 pylon-host git-activity disable "$PWD/roots/elf"
    [ "$output" = "git-activity was not enabled here" ]
    run -0 --separate-stderr bounded 20 pylon-host git-activity enable-all roots --json
    [[ "$output" == *'"enabled":["'"$PWD"'/roots/plain"],"failed":[{"repo":"roots/elf",'*'{"repo":"roots/text","error":"could not read '*'larger than 1 MiB"}]'* ]]
    run -1 --separate-stderr bounded 10 pylon-host git-activity status roots/elf
    [[ "$output" == *"run by a compiled program"* ]]
    [ "$(stat -c %s "$elf")" = $big ] && [ "$(stat -c %s "$text")" = $big ]
}

# One printer for every line a person reads: on a terminal no byte of a name reaches it raw, be it
# a verb's own line, a check's detail or the error line.
@test "on a terminal every verb shows an escape byte in a path as \\x1b, never raw" {
    command -v script >/dev/null || skip "script (util-linux) is not installed"
    export T="$BATS_TEST_TMPDIR/e"$'\e]0;owned\a'"x"
    mkdir -p "$T/peer" bin
    printf '#!/bin/sh\nexit 0\n' >bin/quaylink && chmod +x bin/quaylink  # says nothing itself
    git init -q "$T/r" && git -C "$T/r" commit -q --allow-empty -m init
    export F="$T/f"$'\e[2J' N=$'n\e[2J'
    : >"$F"
    mkdir "$T/markers" && : >"$T/markers/${T//\//-}-gone"  # for prune to name
    export PYLON_HOME="$T/home" PYLON_GIT_ACTIVITY_DIR="$T/markers" PYLON_SHARE_DIR="$T/share"
    export PYLON_SHARE_PEER=mini PATH="$PWD/bin:$PATH"
    local verb
    for verb in 'git-activity enable "$T/r"' 'git-activity status "$T/r"' 'git-activity list' \
        'git-activity path' 'git-activity enable-all --dry-run "$T"' 'git-activity prune --dry-run' \
        'git-activity migrate' 'git-activity disable "$T/r"' 'git-activity enable "$T/none"' \
        'share dir' 'share peer mini' 'share push "$F"' 'share pull "$N"'; do
        TERM=dumb SHELL=/bin/sh run script -qec "pylon-host $verb" /dev/null </dev/null
        [[ "$output" == *'\x1b'* ]]
        [[ "$output" != *$'\e'* ]]
    done
}

teardown() {
    [ -z "${THROWAWAY_USER:-}" ] || userdel "$THROWAWAY_USER" 2>/dev/null || true
}

# A hooks path set in a file another user may change leads no write where that user could not
# write themselves: the setting would lend them root's rights.
@test "core.hooksPath in a file another user may change leads no write where they cannot write" {
    [ "$(id -u)" -eq 0 ] || skip "needs root to add a throwaway user"
    THROWAWAY_USER=pylon-t$$
    useradd -M -N -s /bin/false "$THROWAWAY_USER" 2>/dev/null || {
        THROWAWAY_USER=
        skip "useradd cannot add a user here"
    }
    local uid group
    uid=$(id -u "$THROWAWAY_USER") group=$(id -g "$THROWAWAY_USER")
    local secret='#!/bin/sh
token=s3cret'
    mkdir -m 700 rootdir && printf '%s\n%s\n' "$secret" "$BLOCK" >rootdir/post-commit
    chmod 700 rootdir/post-commit
    mkdir theirs && chown "$uid" theirs
    git init -q shared
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"
    local config="$PWD/shared/.git/config"
    hooks_path() {  # git config writes a new file as root: the owner and mode come after
        git -C shared config core.hooksPath "$PWD/$1" && chown "$2" "$config" && chmod "$3" "$config"
    }

    local row place mode who verb
    for row in "rootdir:644:its owner (user $uid)" "rootdir/new:644:its owner (user $uid)" \
        "rootdir:664:its group (group $group)" "rootdir:666:every user"; do
        IFS=: read -r place mode who <<<"$row"
        hooks_path "$place" "$uid:$group" "$mode"
        for verb in enable disable; do
            [ $verb = enable ] || [ -e "$place/post-commit" ] || continue  # nothing to take out
            run -1 --separate-stderr bounded 10 pylon-host git-activity $verb shared
            [ "$stderr" = "pylon-host: will not write $PWD/$place/post-commit: core.hooksPath in $config leads there, and $who may change that file but could not write there themselves; make the file writable by you alone, or set core.hooksPath in your own configuration" ]
        done
        run -0 --separate-stderr bounded 10 pylon-host git-activity enable-all . --dry-run --json
        [[ "$output" == *'"failed":[{"repo":"./shared","error":"will not write '* ]]
    done
    [ "$(cat rootdir/post-commit)" = "$secret
$BLOCK" ] && [ "$(stat -c %a rootdir/post-commit)" = 700 ] && [ ! -e rootdir/new ]

    # a tool's own file there is root's too: pre-commit's .legacy, private to root
    if command -v pre-commit >/dev/null; then
        git init -q scratch && (cd scratch && pre-commit install -t post-commit >/dev/null)
        mkdir -m 700 rootlegacy && cp scratch/.git/hooks/post-commit rootlegacy/
        printf '%s\n' "$secret" >rootlegacy/post-commit.legacy && chmod 700 rootlegacy/post-commit.legacy
        hooks_path rootlegacy "$uid:$group" 664
        run -1 --separate-stderr bounded 10 pylon-host git-activity enable shared
        [ "$stderr" = "pylon-host: could not write $PWD/rootlegacy/post-commit.legacy: $config: names this place, and someone who may change that file could not write here themselves" ]
        [ "$(cat rootlegacy/post-commit.legacy)" = "$secret" ]
    fi

    hooks_path theirs "$uid:$group" 644  # a place they may write themselves: written
    run -0 --separate-stderr bounded 10 pylon-host git-activity enable shared
    grep -qx '# >>> pylon git-activity >>>' theirs/post-commit
}

# Another user's symbolic link leads root's rewrite nowhere; links of one owner are followed.
@test "a hook or share.json behind another user's link is not written; the link's owner's is" {
    [ "$(id -u)" -eq 0 ] || skip "needs root to give a link another owner"
    local sh='#!/bin/sh
echo secret'
    printf '%s\n' "$sh" >secret && chmod 600 secret
    printf '%s\n%s\n' "$sh" "$BLOCK" >enabled && chmod 600 enabled  # only the mode would change
    mkdir rootdir
    local repo
    for repo in file dir done dotfiles; do
        git init -q "$repo"
    done
    ln -s "$PWD/secret" file/.git/hooks/post-commit
    rm -r dir/.git/hooks && ln -s "$PWD/rootdir" dir/.git/hooks
    ln -s "$PWD/enabled" done/.git/hooks/post-commit
    chown -h 65534 file/.git/hooks/post-commit dir/.git/hooks done/.git/hooks/post-commit
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"

    local link target
    for repo in file dir done; do
        link="$PWD/$repo/.git/hooks/post-commit" target="$PWD/secret"
        [ $repo = dir ] && link="$PWD/dir/.git/hooks" target="$PWD/rootdir/post-commit"
        [ $repo = done ] && target="$PWD/enabled"
        run -1 --separate-stderr bounded 10 pylon-host git-activity enable "$PWD/$repo"
        [ "$stderr" = "pylon-host: could not write through $link: the symbolic link has another owner than $target, which it leads to" ]
    done
    run -1 --separate-stderr bounded 10 pylon-host git-activity disable "$PWD/done"
    [[ "$stderr" == "pylon-host: could not write through $PWD/done/.git/hooks/post-commit: "* ]]
    [ "$(cat secret)" = "$sh" ] && [ "$(stat -c %a secret enabled)" = "600
600" ] && [ -z "$(ls -A rootdir)" ]

    mkdir -p dotfiles-home && printf '%s\n' "$sh" >dotfiles-home/post-commit
    ln -s "$PWD/dotfiles-home/post-commit" dotfiles/.git/hooks/post-commit
    chown -hR 65534 dotfiles-home dotfiles/.git/hooks/post-commit
    run -0 --separate-stderr bounded 10 pylon-host git-activity enable "$PWD/dotfiles"
    grep -qx '# >>> pylon git-activity >>>' dotfiles-home/post-commit
    [ "$(stat -c '%u %a' dotfiles-home/post-commit)" = "65534 755" ]

    export PYLON_HOME="$PWD/fleet"
    mkdir -p fleet/config && ln -s "$PWD/secret" fleet/config/share.json
    chown -h 65534 fleet/config/share.json
    run -1 --separate-stderr bounded 10 pylon-host share peer mini
    [ "$stderr" = "pylon-host: could not write through $PWD/fleet/config/share.json: the symbolic link has another owner than $PWD/secret, which it leads to" ]
    [ "$(cat secret)" = "$sh" ] && [ -z "$(ls -A "$PWD" | grep '^\.')" ]
}

@test "a rewritten hook keeps its own ACL and takes none from its directory" {
    command -v setfacl >/dev/null || skip "setfacl is not installed"
    git init -q acl && git init -q plain
    local hook=acl/.git/hooks/post-commit
    printf '#!/bin/sh\necho mine\n' | tee "$hook" plain/.git/hooks/post-commit >/dev/null
    chmod 755 "$hook" plain/.git/hooks/post-commit
    setfacl -m u:65534:rwx,g::r-x "$hook" 2>/dev/null || skip "no ACLs on this file system"
    setfacl -d -m u:12345:rwx acl/.git/hooks plain/.git/hooks
    getfacl -c "$hook" >before
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"
    run -0 pylon-host git-activity enable acl
    run -0 pylon-host git-activity enable plain
    getfacl -c "$hook" | diff before -  # the owning group did not gain the mask's w
    [ -z "$(getfacl -c --skip-base plain/.git/hooks/post-commit)" ]
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

# Starts `share ls` (INT ignored when $2 is set), sends $1 once quaylink runs, and prints how
# pylon-host ended as its parent sees it: a shell's 143 cannot tell exit(143) from SIGTERM.
signalled() {
    bounded 20 perl -e '
        my ($sig, $ignore) = @ARGV;
        $SIG{INT} = "IGNORE" if $ignore;
        my $pid = fork // die "fork: $!";
        if (!$pid) {
            open STDOUT, ">", "/dev/null";
            exec qw(pylon-host share ls --peer mini) or die "exec: $!";
        }
        select undef, undef, undef, 0.1 until -s $ENV{FAKE_QUAYLINK_LOG};
        kill $sig, $pid;
        waitpid $pid, 0;
        print $? & 127 ? "signal " . ($? & 127) : "exit " . ($? >> 8);
    ' "$@"
}

@test "a SIGINT ignored from the start stays ignored; a SIGTERM ends pylon-host by that signal" {
    mkdir -p "$FAKE_QUAYLINK_ROOT/mini"
    export FAKE_QUAYLINK_SLEEP=1
    run -0 signalled INT ignore
    [ "$output" = "exit 0" ]
    rm "$FAKE_QUAYLINK_LOG"
    run -0 signalled TERM
    [ "$output" = "signal 15" ]
}

# Each run has its own bound, so a hang fails at once; the total time depends on the machine's
# load and is not asserted.
@test "an ending signal that meets the child's exit never hangs pylon-host (1000 runs)" {
    mkdir bin
    # the child signals its whole process group and so dies with pylon-host, as on a Ctrl-C
    printf '#!/bin/sh\nkill -TERM 0\n' >bin/quaylink
    chmod +x bin/quaylink
    PATH="$PWD/bin:$PATH" run -0 perl -e '
        for my $worker (1, 2) {  # two at a time, 500 runs each
            next if fork // die;
            my %seen;
            for my $run (1 .. 500) {
                my $pid = fork // die;
                if (!$pid) { setpgrp; open STDERR, ">/dev/null"; exec @ARGV; exit 127 }
                local $SIG{ALRM} = sub { kill "KILL", -$pid; die "run $run hung\n" };
                alarm 20; waitpid $pid, 0; alarm 0;
                $? == 15 || $? == 256 or die "run $run: status $?\n";  # by the signal, or exit 1
                $seen{$?}++;
            }
            print "signal ", $seen{15} // 0, " exit1 ", $seen{256} // 0, "\n";
            exit 0;
        }
        wait != -1 && $? && exit 1 for 1, 2;' pylon-host share ls --peer mini
    local total=0 line
    while read -r _ signalled _ exited; do
        total=$((total + signalled + exited))
    done <<<"$output"
    [ "$total" -eq 1000 ]
}

@test "an ending signal during a rewrite leaves no temporary file behind" {
    strace -o /dev/null true 2>/dev/null || skip "strace cannot trace here"
    export PYLON_HOME="$BATS_TEST_TMPDIR/fleet" PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"
    mkdir -p "$PYLON_HOME/config"
    git init -q repo
    printf '#!/bin/sh\necho mine\n' >repo/.git/hooks/post-commit
    local dir args tmp traced status
    # share peer starts no child: the temporary file alone must bring the signal handling up
    for args in "$PYLON_HOME/config share peer mini" "repo/.git/hooks git-activity enable repo"; do
        dir=${args%% *}
        # every rename waits 5 s, so the temporary file is there when the signal comes
        bounded 30 strace -f -o /dev/null -e trace=/^rename -e inject=/^rename:delay_enter=5000000 \
            pylon-host ${args#* } 2>/dev/null &
        traced=$!
        for _ in $(seq 200); do tmp=$(ls -A "$dir" | grep '\.tmp\.') && break; sleep 0.05; done
        tmp=${tmp##*.tmp.}
        kill -TERM "${tmp%%.*}"  # the temporary file is named after the process: .NAME.tmp.PID.N
        status=0
        wait "$traced" || status=$?
        [ "$status" -eq 143 ]
        [ -z "$(ls -A "$dir" | grep '\.tmp\.')" ]
    done
    [ ! -e "$PYLON_HOME/config/share.json" ]
    [ "$(cat repo/.git/hooks/post-commit)" = "$(printf '#!/bin/sh\necho mine')" ]
}


# git-activity

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

@test "git-activity: a marker name that is a link, symbolic or hard, is never written through" {
    ga_setup
    ga_repo "$T/r" 1600000000
    local name="${T//\//-}-r" link why at said
    mkdir -p "$HOME/.kestrel/git-activity"
    : >"$HOME/.kestrel/git-activity/-legacy"
    ga_date "$HOME/.kestrel/git-activity/-legacy" 4000000000  # newer than the target's own time
    # a hard link's target newer than the commit: "already up to date" would be a silent success
    for link in "ln -s" ln; do
        rm -f "$M/$name" "$M/-legacy"
        at=1000 why='a symbolic link, which is not followed' said='is a symbolic link'
        [ "$link" = "ln -s" ] || at=2000000000 why='a file with other hard links' said='has other hard links'
        printf 'theirs\n' >"$T/target"
        ga_date "$T/target" "$at"
        $link "$T/target" "$M/$name"
        $link "$T/target" "$M/-legacy"

        (cd "$T/r" && pylon-host git-activity record >"$T/out" 2>&1)
        [ ! -s "$T/out" ]
        run -1 --separate-stderr pylon-host git-activity enable "$T/r"
        [[ "$stderr" =~ ^"pylon-host: could not write marker in $M: "$why$ ]]
        run -1 pylon-host git-activity status "$T/r"
        [[ "$output" == *$'\n'"problem  marker        $M/$name $said"* ]]
        run -1 --separate-stderr pylon-host git-activity migrate --apply
        [[ "$stderr" =~ ^"pylon-host: could not create $M/-legacy: "$why$ ]]
        [ "$(cat "$T/target")" = theirs ] && [ "$(mtime "$T/target")" = "$at" ]
    done
}

@test "git-activity: a top level or hooks path that ends in white space or holds a line feed is that path" {
    ga_setup
    local nl=$'\n' r
    for r in "$T/r " "$T/r"$'\xc2\xa0' "$T/r$nl"; do
        ga_repo "$r"
        mkdir "$r/sub"
        (cd "$r/sub" && pylon-host git-activity record --at 1650000000)
        [ "$(mtime "$M/${r//\//-}")" = 1650000000 ]
    done
    [ ! -e "$M/${T//\//-}-r" ]
    ga_repo "$T/r" 1500000000
    run -0 pylon-host git-activity enable "$T/r "
    [ "$output" = "git-activity enabled: $T/r " ]
    grep -qF "$BLOCK" "$T/r /.git/hooks/post-commit"
    [ ! -e "$T/r/.git/hooks/post-commit" ]
    [ ! -e "$M/${T//\//-}-r" ]

    # git's two answers in one would be three lines: the hooks path is asked alone
    git -C "$T/r" config core.hooksPath "$T/hooks${nl}x"
    run -0 pylon-host git-activity enable "$T/r"
    grep -qF "$BLOCK" "$T/hooks${nl}x/post-commit"
    [ ! -e "$T/r/x" ]
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

    printf '#!/usr/bin/env python3\n%s\nprint("mine")\n' "$BLOCK" >"$hook"
    run -0 pylon-host git-activity disable "$T/ws/r"
    [ "$output" = "git-activity disabled: $hook" ]
    cmp "$hook" "$T/orig"
}

@test "git-activity: stray markers and bytes that are not UTF-8 stay the user's" {
    ga_setup
    ga_repo "$T/r"
    local hook="$T/r/.git/hooks/post-commit"
    local begin='# >>> pylon git-activity >>>'
    printf '#!/bin/sh\n%s\necho caf\351\n%s\necho after\n' "$begin" "$BLOCK" >"$hook"
    printf '#!/bin/sh\n%s\necho caf\351\necho after\n' "$begin" >"$T/without"
    printf '#!/bin/sh\n%s\n%s\necho caf\351\necho after\n' "$BLOCK" "$begin" >"$T/with"

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
    [[ "$output" == *'"backfilled":1700000000,"marker_written":true,"notes":[]'* ]]
    git -C "$T/r" checkout -q HEAD~1
    run -0 pylon-host git-activity enable "$T/r" --json
    [[ "$output" == *'"backfilled":1600000000,"marker_written":false,"notes":[]'* ]]
    [ "$(mtime "$marker")" = 1700000000 ]
}

@test "git-activity: list over names that links let be traced many ways ends quickly, same answers" {
    ga_setup
    mkdir -p "$T/d/real" && git init -q "$T/d/real"
    ln -s . "$T/d/h" && ln -s . "$T/d/h-h"
    local base="${T//\//-}-d" many="" i
    for i in $(seq 28); do many+="-h"; done
    : >"$M/$base$many-gone"
    : >"$M/$base-h-h-real"
    run -0 bounded 60 pylon-host git-activity list  # a walk of every spelling would not end
    [[ "$output" == *"  $base$many-gone (repo gone)"* ]]
    # the spelling through links is not the name git's top level gives: not this marker's
    # repository, but the directory the name spells is shown
    grep -q -- "  $T/d/h/h/real\$" <<<"$output"
    run -0 bounded 60 pylon-host git-activity list --json
    [[ "$output" == *"{\"marker\":\"$base-h-h-real\",\"epoch\":"*",\"repo\":\"$T/d/h/h/real\",\"state\":\"unreachable\"}"* ]]
}
