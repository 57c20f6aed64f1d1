#!/usr/bin/env bats
# Situations users meet: read-only and full file systems, odd names, closed pipes, children that
# misbehave. After each, the user's files are what they were or what the command promised.
load helpers

make_repo() {
    git init -q "$1"
    GIT_COMMITTER_DATE=1700000000 git -C "$1" commit -q --allow-empty -m init
}

# Makes a directory refuse new entries, for root too (which file modes do not stop); fails when
# this machine offers no way to.
freeze() {
    if [ "$(id -u)" -ne 0 ]; then
        chmod a-w "$1"
    else
        chattr +i "$1" 2>/dev/null || return 1
    fi
    echo "$1" >>"$BATS_TEST_TMPDIR/frozen"
    ! touch "$1/.probe" 2>/dev/null
}

# A small file system of its own, so that it can be filled; root only.
small_disk() {
    [ "$(id -u)" -eq 0 ] || return 1
    mkdir -p "$1"
    mount -t tmpfs -o "size=64k,nr_inodes=32" tmpfs "$1" 2>/dev/null || return 1
    echo "$1" >>"$BATS_TEST_TMPDIR/mounts"
}

fill() {
    dd if=/dev/zero of="$1/filler" bs=4k 2>/dev/null || true
    local i=0
    while touch "$1/inode-$i" 2>/dev/null; do i=$((i + 1)); done
}

# Runs a command without root's power to override file modes, so that they count. It stays uid 0,
# the owner of the test's files: nothing outside the test directory needs opening up for it.
as_user() {
    if [ "$(id -u)" -ne 0 ]; then
        "$@"
    else
        setpriv --bounding-set=-dac_override,-dac_read_search -- "$@"
    fi
}

teardown() {
    if [ -f "$BATS_TEST_TMPDIR/frozen" ]; then
        while read -r dir; do
            chattr -i "$dir" 2>/dev/null || true
            chmod u+w "$dir" 2>/dev/null || true
        done <"$BATS_TEST_TMPDIR/frozen"
    fi
    if [ -f "$BATS_TEST_TMPDIR/mounts" ]; then
        while read -r dir; do
            umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null || true
        done <"$BATS_TEST_TMPDIR/mounts"
    fi
    if [ -d "$BATS_TEST_TMPDIR/tree/locked" ]; then
        chmod 755 "$BATS_TEST_TMPDIR/tree/locked"
    fi
}

@test "a read-only marker directory: record stays silent, enable names the directory" {
    make_repo repo
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"
    mkdir "$PYLON_GIT_ACTIVITY_DIR"
    freeze "$PYLON_GIT_ACTIVITY_DIR" || skip "cannot make a directory read-only for root here (chattr +i)"
    cd repo

    run -0 --separate-stderr pylon-host git-activity record
    [ -z "$output" ] && [ -z "$stderr" ]
    [ -z "$(ls -A "$PYLON_GIT_ACTIVITY_DIR")" ]

    run -1 --separate-stderr pylon-host git-activity enable
    [ -z "$output" ]
    [[ "$stderr" == "pylon-host: could not write marker in $PYLON_GIT_ACTIVITY_DIR: "*" (os error "*")" ]]
    # refused before anything is written: no repository is left half enabled
    [ ! -e .git/hooks/post-commit ]
    run -0 --separate-stderr git commit -q --allow-empty -m second
    [ -z "$output" ] && [ -z "$stderr" ]
}

@test "an unwritable hooks directory: enable and disable fail and leave the hook as it was" {
    make_repo repo
    local hooks=repo/.git/hooks
    printf '#!/bin/bash\r\necho mine\r\n' >"$hooks/post-commit"
    chmod 700 "$hooks/post-commit"
    cp -p "$hooks/post-commit" before
    local listing
    listing=$(ls -A "$hooks")
    freeze "$hooks" || skip "cannot make a directory read-only for root here (chattr +i)"

    run -1 --separate-stderr pylon-host git-activity enable repo
    [[ "$stderr" == "pylon-host: could not write $hooks/post-commit: "*" (os error "*")" ]]
    cmp "$hooks/post-commit" before
    [ "$(stat -c %a "$hooks/post-commit")" = 700 ]
    [ "$(ls -A "$hooks")" = "$listing" ]  # no temporary file left behind
    [ ! -e "$HOME/.kestrel" ]            # nothing went on to write a marker

    chattr -i "$hooks" 2>/dev/null || chmod u+w "$hooks"
    run -0 pylon-host git-activity enable repo
    cp -p "$hooks/post-commit" enabled
    freeze "$hooks"
    run -1 --separate-stderr pylon-host git-activity disable repo
    [[ "$stderr" == "pylon-host: could not write $hooks/post-commit: "*" (os error "*")" ]]
    cmp "$hooks/post-commit" enabled
}

# The layouts a dry run must judge as the real run does, below the directory $1, each run once by
# root as it is and once without root's overrides ($2: as_user).
dry_runs_match_real_runs() {
    local t who=$2 r verb dry unsure real failing=11
    mkdir "$1" && t=$(cd "$1" && pwd -P) && cd "$t"
    export PYLON_GIT_ACTIVITY_DIR="$t/markers"
    mkdir -p tree markers && touch tree/file markers/other
    for r in ok dangling uncreatable frozen gone large foreign on on-frozen proc; do make_repo "tree/$r"; done
    git -C tree/ok worktree add -q ../ok-linked  # one hook, two work trees: one change
    # the marker's name is taken: enable must fail before it writes the hook
    for r in mdir mfifo mlink mhard; do make_repo "tree/$r"; done
    local m="markers/$(echo "$t/tree/m" | tr / -)"
    mkdir "${m}dir" && mkfifo "${m}fifo" && ln -s other "${m}link" && ln markers/other "${m}hard"
    rm -r tree/dangling/.git/hooks && ln -s "$t/nowhere" tree/dangling/.git/hooks
    git -C tree/uncreatable config core.hooksPath "$t/tree/file/hooks"
    # only the write tells whether root may make a directory in /proc
    git -C tree/proc config core.hooksPath /proc/hooks
    printf '#!/bin/sh\necho mine\n' >tree/frozen/.git/hooks/post-commit
    ln -s "$t/gone/post-commit" tree/gone/.git/hooks/post-commit
    printf '#!/bin/sh\n' | tee secret >tree/large/.git/hooks/post-commit
    truncate -s $((1024 * 1024 + 1)) tree/large/.git/hooks/post-commit
    # a link another user planted, to a file of ours (root only: chown)
    ln -s "$t/secret" tree/foreign/.git/hooks/post-commit
    chown -h 65534 tree/foreign/.git/hooks/post-commit 2>/dev/null || failing=10
    for r in on on-frozen; do pylon-host git-activity enable "tree/$r" >/dev/null; done
    freeze "$t/tree/frozen/.git/hooks" || skip "cannot make a directory read-only for root here (chattr +i)"
    freeze "$t/tree/on-frozen/.git/hooks"

    # disable-all fails on the frozen block, the hooks path under a file and the large hook
    for verb in enable-all disable-all; do
        run -0 $who pylon-host git-activity $verb --json --dry-run "$t/tree"
        dry="${output%,\"dry_run\":true,*}}"
        unsure=${output#"${dry%\}}"}
        [ "$(grep -o '"repo":' <<<"$output" | wc -l)" -eq "$failing" ]
        run -0 $who pylon-host git-activity $verb --json "$t/tree"
        real=$output
        if [[ "$verb" == enable-all && -z "$who" && "$(id -u)" -eq 0 ]]; then
            # root's dry run cannot tell about /proc; the real run finds out
            [[ "$dry" != *'tree/proc"'* ]]
            [[ "$unsure" == ',"dry_run":true,"cannot_tell":[{"repo":"'"$t"'/tree/proc","reason":"/proc is on proc, '* ]]
            real=$(sed -E 's#\{"repo":"[^"]*/tree/proc","error":"[^"]*"\},?##; s#,\]#]#' <<<"$real")
        fi
        [ "$dry" = "$real" ]
        failing=3
    done
    [ "$(cat secret)" = "#!/bin/sh" ]
    for r in mdir mfifo mlink mhard; do [ ! -e "tree/$r/.git/hooks/post-commit" ]; done
}

@test "a dry run lists what the real run enables, disables and fails on, whatever stands in the way" {
    dry_runs_match_real_runs "$BATS_TEST_TMPDIR/as-root" ""
    dry_runs_match_real_runs "$BATS_TEST_TMPDIR/as-user" as_user
}

@test "a hook that is a symbolic link: the file it points to is edited, the link stays" {
    make_repo repo
    mkdir dotfiles
    printf '#!/bin/sh\necho shared\n' >dotfiles/post-commit
    chmod 755 dotfiles/post-commit
    cp -p dotfiles/post-commit before
    ln -s ../../../dotfiles/post-commit repo/.git/hooks/post-commit

    run -0 pylon-host git-activity enable repo
    [ -L repo/.git/hooks/post-commit ]
    [ "$(readlink repo/.git/hooks/post-commit)" = ../../../dotfiles/post-commit ]
    [ "$(cat dotfiles/post-commit)" = "#!/bin/sh
$BLOCK
echo shared" ]
    [ "$(ls -A dotfiles)" = post-commit ]

    run -0 pylon-host git-activity disable repo
    [ -L repo/.git/hooks/post-commit ]
    cmp dotfiles/post-commit before

    # a link that leads nowhere readable is reported, not replaced
    rm repo/.git/hooks/post-commit
    ln -s post-commit repo/.git/hooks/post-commit
    run -1 --separate-stderr pylon-host git-activity enable repo
    [[ "$stderr" == "pylon-host: could not read repo/.git/hooks/post-commit: "*" (os error 40)" ]]
    [ "$(readlink repo/.git/hooks/post-commit)" = post-commit ]
}

@test "a full disk: nothing half-written, the old files stay whole" {
    make_repo repo
    local hooks=repo/.git/hooks
    small_disk "$hooks" || skip "needs root and a tmpfs mount to fill a file system"
    printf '#!/bin/sh\necho mine\n' >"$hooks/post-commit"
    chmod 755 "$hooks/post-commit"
    cp -p "$hooks/post-commit" before
    fill "$hooks"
    local listing
    listing=$(ls -A "$hooks")
    run -0 pylon-host git-activity enable-all --dry-run .
    [[ "${lines[0]}" == "cannot tell without writing: ./repo: the file system holding "*"/hooks is full" ]]

    run -1 --separate-stderr pylon-host git-activity enable repo
    [[ "$stderr" == "pylon-host: could not write $hooks/post-commit: "*" (os error 28)" ]]
    cmp "$hooks/post-commit" before
    [ "$(ls -A "$hooks")" = "$listing" ]

    # a full marker disk: record stays silent, enable says where it could not write
    rm -f "$hooks"/filler "$hooks"/inode-*
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"
    small_disk "$PYLON_GIT_ACTIVITY_DIR"
    fill "$PYLON_GIT_ACTIVITY_DIR"
    cd repo
    run -0 --separate-stderr pylon-host git-activity record
    [ -z "$output" ] && [ -z "$stderr" ]
    cd ..
    run -1 --separate-stderr pylon-host git-activity enable repo
    [[ "$stderr" == "pylon-host: could not write marker in $PYLON_GIT_ACTIVITY_DIR: "*" (os error 28)" ]]

    # a full state disk: prune removes nothing it could not journal first, and does not spin
    export XDG_STATE_HOME="$BATS_TEST_TMPDIR/state" PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/m2"
    local gone="$PYLON_GIT_ACTIVITY_DIR/$(echo "$BATS_TEST_TMPDIR/gone" | tr / -)"
    mkdir -p "$PYLON_GIT_ACTIVITY_DIR" && touch "$gone"
    small_disk "$XDG_STATE_HOME"
    dd if=/dev/zero of="$XDG_STATE_HOME/filler" bs=4k 2>/dev/null || true  # room for names only
    run -1 --separate-stderr timeout 20 pylon-host git-activity prune
    local journal && journal=$(journal_of "$PYLON_GIT_ACTIVITY_DIR")
    [ "$stderr" = "pylon-host: could not write the prune journal $journal, so $gone was kept: No space left on device (os error 28)" ]
    [ -e "$gone" ]

    # the saved share peer survives a failed save
    local config="$HOME/.config/pylon"
    small_disk "$config"
    printf '{\n  "peer": "old"\n}\n' >"$config/share.json"
    cp "$config/share.json" peer-before
    fill "$config"
    run -1 --separate-stderr pylon-host share peer new
    [[ "$stderr" == "pylon-host: could not write $config/share.json: "*" (os error 28)" ]]
    cmp "$config/share.json" peer-before
    run -0 pylon-host share peer
    [ "$output" = old ]
}

@test "HOME unset: every default falls back to the current directory, but record writes nothing" {
    make_repo repo
    cd repo
    run -0 --separate-stderr env -u HOME pylon-host git-activity path
    [ "$output" = ./.kestrel/git-activity ]
    # a hook run so would leave untracked markers in the work tree
    run -0 --separate-stderr env -u HOME pylon-host git-activity record
    [ -z "$output" ] && [ -z "$stderr" ]
    HOME= pylon-host git-activity record
    [ ! -e .kestrel ]
    env -u HOME PYLON_HOME="$BATS_TEST_TMPDIR/fleet" pylon-host git-activity record
    [ -f "$BATS_TEST_TMPDIR/fleet/git-activity/$(pwd -P | tr / -)" ]
    env -u HOME pylon-host git-activity enable >/dev/null
    run -0 env -u HOME pylon-host git-activity list
    [[ "$output" == *"  $(pwd -P)" ]] || [[ "$output" == *"  $PWD" ]]
    run -0 env -u HOME pylon-host git-activity enable-all
    [ "$output" = "git-activity enabled in 0 repo(s)" ]
    run -0 env -u HOME pylon-host share dir
    [ "$output" = ./work/quaylink-share ]
    run -1 --separate-stderr env -u HOME pylon-host share peer
    [[ "$stderr" == "pylon-host: no share peer configured"* ]]
}

@test "names that are not UTF-8 are found, enabled and shown with U+FFFD" {
    local dir=$'caf\xe9'
    mkdir "$dir"
    make_repo "$dir/repo"
    printf '#!/bin/sh\necho mine\n' >"$dir/repo/.git/hooks/post-commit"
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"

    run -0 --separate-stderr pylon-host git-activity enable-all "$PWD" --json
    [ -z "$stderr" ]
    printf '%s' "$output" | iconv -f UTF-8 -t UTF-8 >/dev/null
    [[ "$output" == *"/caf"$'\xef\xbf\xbd'"/repo\"]"* ]]
    [ "$(cat "$dir/repo/.git/hooks/post-commit")" = "#!/bin/sh
$BLOCK
echo mine" ]
    [ "$(ls "$PYLON_GIT_ACTIVITY_DIR" | grep -c $'caf\xef\xbf\xbd-repo$')" = 1 ]
    # a linked work tree's hook lies in its main repository below the odd name: git's answers
    # are paths as bytes, so no twin tree with U+FFFD in its name is made
    git -C "$dir/repo" worktree add -q ../../linked
    run -0 pylon-host git-activity enable-all linked
    [ "${lines[0]}" = "git-activity enabled in 1 repo(s)" ]
    [ ! -e $'caf\xef\xbf\xbd' ]
    rm -r linked "$PYLON_GIT_ACTIVITY_DIR"/*-linked && git -C "$dir/repo" worktree prune

    # the hook records through the odd path; list shows it, readable
    (cd "$dir/repo" && GIT_COMMITTER_DATE=1800000000 git commit -q --allow-empty -m two)
    [ "$(ls "$PYLON_GIT_ACTIVITY_DIR" | wc -l)" = 1 ]
    touch "$PYLON_GIT_ACTIVITY_DIR/-gone"$'\xff'
    run -0 pylon-host git-activity list --json
    printf '%s' "$output" | iconv -f UTF-8 -t UTF-8 >/dev/null
    run -0 pylon-host git-activity list
    printf '%s' "$output" | iconv -f UTF-8 -t UTF-8 >/dev/null
    # a name that was not UTF-8 may stand for any bytes: never called gone
    [[ "$output" == *$'-gone\xef\xbf\xbd (unreachable)'* ]]

    cd "$dir/repo"
    run -0 pylon-host git-activity disable
    [ "$(cat .git/hooks/post-commit)" = "#!/bin/sh
echo mine" ]
}

@test "a closed standard output or a broken pipe changes no exit status" {
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"
    mkdir "$PYLON_GIT_ACTIVITY_DIR"
    for i in $(seq 1 3000); do : >"$PYLON_GIT_ACTIVITY_DIR/-gone-$i"; done  # more than a pipe holds
    make_repo repo

    run -0 --separate-stderr bash -c 'pylon-host git-activity list >&-'
    [ -z "$stderr" ]
    run -0 --separate-stderr bash -c 'set -o pipefail; pylon-host git-activity list | head -n 1'
    [ -z "$stderr" ]
    run -0 --separate-stderr bash -c 'set -o pipefail; pylon-host git-activity list --json | head -c 1'
    run -0 --separate-stderr bash -c 'pylon-host git-activity enable repo >&-'
    [ -z "$stderr" ]
    grep -qxF "$BLOCK_COMMAND" repo/.git/hooks/post-commit
    run -0 bash -c 'pylon-host git-activity enable-all "$PWD" --json >&-'
    run -1 --separate-stderr bash -c 'pylon-host git-activity enable nowhere >&-'
    [[ "$stderr" == "pylon-host: not a git repository: nowhere "* ]]
    run -0 bash -c 'pylon-host share dir --json >&-'
}

@test "a child that ends on a signal is a failed run, never a crash" {
    make_repo repo
    mkdir -p sigbin
    printf '#!/bin/sh\nkill -KILL $$\n' >sigbin/git
    printf '#!/bin/sh\nkill -TERM $$\n' >sigbin/quaylink
    chmod 755 sigbin/git sigbin/quaylink
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"

    # record finds the repository without git, and still says nothing
    cd repo
    PATH="$BATS_TEST_TMPDIR/sigbin:$PATH" run -0 --separate-stderr pylon-host git-activity record
    [ -z "$output" ] && [ -z "$stderr" ]
    [ "$(ls "$PYLON_GIT_ACTIVITY_DIR")" = "$(pwd | tr / -)" ]
    cd ..

    PATH="$BATS_TEST_TMPDIR/sigbin:$PATH" run -1 --separate-stderr pylon-host git-activity enable repo
    [[ "$stderr" == "pylon-host: not a git repository: repo "* ]]
    [ ! -e repo/.git/hooks/post-commit ]

    PATH="$BATS_TEST_TMPDIR/sigbin:$PATH" run -1 --separate-stderr pylon-host share ls --peer mini
    [[ "$stderr" == "pylon-host: quaylink failed talking to peer 'mini': "* ]]
    : >file.txt
    PATH="$BATS_TEST_TMPDIR/sigbin:$PATH" run -1 --separate-stderr pylon-host share push file.txt --peer mini
    [[ "$stderr" == "pylon-host: quaylink failed talking to peer 'mini': "* ]]
}

@test "a child that ignores SIGTERM is killed at its deadline" {
    mkdir -p stubborn
    printf '#!/bin/sh\ntrap "" TERM\necho $$ >"%s/child.pid"\nexec sleep 60\n' "$BATS_TEST_TMPDIR" \
        >stubborn/quaylink
    chmod 755 stubborn/quaylink
    : >file.txt
    local verb
    for verb in "ls" "push file.txt"; do
        rm -f child.pid
        # ended long before the child would end by itself: killed at its deadline
        PATH="$BATS_TEST_TMPDIR/stubborn:$PATH" run -1 --separate-stderr \
            perl -e 'alarm 40; exec @ARGV' pylon-host share $verb --peer mini --timeout 1
        [[ "$stderr" == *'`quaylink` exceeded its 1s deadline and was terminated'* ]]
        local pid
        pid=$(cat child.pid)
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        ! kill -0 "$pid" 2>/dev/null
    done
}

@test "enable-all walks past unreadable directories and symbolic-link loops" {
    if [ "$(id -u)" -eq 0 ] && ! as_user true 2>/dev/null; then
        skip "root reads every directory, and setpriv cannot drop that here"
    fi
    mkdir -p tree/a tree/b tree/locked
    make_repo tree/a/one
    make_repo tree/b/two
    make_repo tree/locked/three
    printf '#!/bin/sh\necho mine\n' >tree/b/two/.git/hooks/post-commit
    ln -s .. tree/a/up
    ln -s . tree/self
    ln -s loop tree/loop
    ln -s ../a tree/b/sideways
    export PYLON_GIT_ACTIVITY_DIR="$BATS_TEST_TMPDIR/markers"
    chmod 000 tree/locked

    run -0 --separate-stderr as_user pylon-host git-activity enable-all tree --json
    [ -z "$stderr" ]
    local here
    here=$(pwd -P)
    [ "$output" = "{\"ok\":true,\"dir\":\"$PYLON_GIT_ACTIVITY_DIR\",\"enabled\":[\"$here/tree/a/one\",\"$here/tree/b/two\"],\"failed\":[],\"deadline_expired\":false,\"notes\":[]}" ]
    [ "$(cat tree/b/two/.git/hooks/post-commit)" = "#!/bin/sh
$BLOCK
echo mine" ]
    # a repository below a directory we may not enter is out of reach, never gone
    local name="$here/tree/locked/three" && name=${name//\//-}
    : >"$PYLON_GIT_ACTIVITY_DIR/$name"
    run -0 as_user pylon-host git-activity prune --dry-run --json
    [ "$output" = "{\"ok\":true,\"removed\":[],\"removed_times\":[],\"unreachable\":[\"$name\"],\"deadline_expired\":false,\"dry_run\":true}" ]
    # a root that cannot be read is a failure, never "0 repo(s)"
    for verb in enable-all disable-all; do
        run -1 --separate-stderr as_user pylon-host git-activity $verb tree/locked
        [ "$stderr" = "pylon-host: could not walk tree/locked: Permission denied (os error 13)" ]
    done
}
