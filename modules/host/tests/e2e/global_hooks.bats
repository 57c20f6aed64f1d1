#!/usr/bin/env bats
# enable --global against a git that runs hooks from its configuration: the static pylon-host runs
# by chroot in a Debian unstable root that scripts/unstable-root makes once per machine (skipped,
# with the reason, where it cannot; failed in CI). The refusal runs on this machine's older git.
load helpers

setup_file() {
    UNSTABLE_ROOT=$("$E2E_SOURCE_DIR/scripts/unstable-root" 2>"$BATS_FILE_TMPDIR/root.log") || true
    ROOT_SKIP=$(tail -n 1 "$BATS_FILE_TMPDIR/root.log")
    export UNSTABLE_ROOT ROOT_SKIP="${ROOT_SKIP:-the Debian unstable root could not be made}"
}

eval "sealed_$(declare -f setup)"
setup() {
    sealed_setup
    [ -n "${UNSTABLE_ROOT:-}" ] || return 0
    # this test's world inside the root: $W outside, $IN inside
    W=$(mktemp -d "$UNSTABLE_ROOT/tmp/pylon-e2e.XXXXXX")
    IN=${W#"$UNSTABLE_ROOT"}
    mkdir -p "$W/bin" "$W/home"
    cp "$E2E_BIN" "$W/bin/pylon-host"
    # marker NAME: the time of work tree NAME's marker; moves/stays NAME STEP...: the marker set
    # back, the step run, it must have moved (or not)
    cat >"$W/lib.sh" <<'LIB'
marker() { stat -c %Y "$PYLON_GIT_ACTIVITY_DIR/$(printf %s "$T/$1" | tr / -)"; }
back() { touch -d @1000 "$PYLON_GIT_ACTIVITY_DIR/$(printf %s "$T/$1" | tr / -)"; }
moves() { back "$1"; "${@:2}" >/dev/null 2>&1; [ "$(marker "$1")" -gt 1000 ] || { echo "did not move: $*"; exit 1; }; }
stays() { back "$1"; "${@:2}" >/dev/null 2>&1; [ "$(marker "$1")" = 1000 ] || { echo "moved: $*"; exit 1; }; }
LIB
}

teardown() { if [ -n "${W:-}" ]; then rm -rf "$W"; fi; }

# The cases that need the root skip by name when it cannot be had, and fail in CI.
need_root() {
    if [ -z "${UNSTABLE_ROOT:-}" ]; then
        [ "${CI:-}" != true ] || { echo "CI: $ROOT_SKIP" >&2; return 1; }
        skip "$ROOT_SKIP"
    fi
    chroot "$UNSTABLE_ROOT" "$IN/bin/pylon-host" --version >/dev/null 2>&1 ||
        skip "this build's pylon-host is not static (a sanitizer build); the dev and ci builds run these"
}

# Runs a shell script inside the root, in a sealed world: $T is its directory there.
in_root() {
    chroot "$UNSTABLE_ROOT" /usr/bin/env -i T="$IN" HOME="$IN/home" PATH="$IN/bin:/usr/bin:/bin" \
        PYLON_GIT_ACTIVITY_DIR="$IN/markers" GIT_CONFIG_NOSYSTEM=1 GIT_AUTHOR_NAME=t \
        GIT_AUTHOR_EMAIL=t@example.invalid GIT_COMMITTER_NAME=t \
        GIT_COMMITTER_EMAIL=t@example.invalid /bin/bash -euc ". \"\$T/lib.sh\"; cd \"\$T\"; $1"
}

@test "enable --global: commits, merges, pulls, rebases, amends and am move the marker, and no repository changes" {
    need_root
    run in_root '
        git config --global init.defaultBranch main
        pylon-host git-activity enable --global >/dev/null
        sum=$(sha256sum "$HOME/.gitconfig")
        run=$(pylon-host git-activity enable --global --json)
        [ "$(sha256sum "$HOME/.gitconfig")" = "$sum" ]
        [[ $run == *"\"changed\":false"* ]]
        git init -q up && git -C up commit -q --allow-empty -m one && git clone -q up r
        cd r && before=$(ls .git/hooks; sha256sum .git/config)
        git commit -q --allow-empty -m two && marker r >/dev/null
        moves r git commit -q --allow-empty -m three
        moves r git commit -q --amend --allow-empty -m amended
        git switch -q -c side && echo s >s && git add s && git commit -q -m side && git switch -q main
        moves r git merge -q --no-ff --no-edit side
        git -C ../up commit -q --allow-empty -m four && git reset -q --hard origin/main
        moves r git pull -q --ff-only
        git switch -q side && moves r git rebase -q --apply main
        echo p >p && git add p && git commit -q -m p && git format-patch -1 --stdout >../p && git reset -q --hard HEAD~1
        moves r git am -q ../p
        [ "$(ls .git/hooks; sha256sum .git/config)" = "$before" ]'
    echo "$output"; [ "$status" -eq 0 ]
}

@test "enable --global: the opt-out and disable --global each stop recording" {
    need_root
    run in_root '
        pylon-host git-activity enable --global >/dev/null
        for r in a b; do git init -q $r && git -C $r commit -q --allow-empty -m one; done
        pylon-host git-activity disable a | grep -F "every linked work tree"
        git -C a worktree add -q ../a2 && stays a2 git -C a2 commit -q --allow-empty -m w
        stays a git -C a commit -q --allow-empty -m two
        moves b git -C b commit -q --allow-empty -m two
        pylon-host git-activity enable a | grep -F "already records"
        moves a git -C a commit -q --allow-empty -m three
        pylon-host git-activity disable --global >/dev/null
        if grep pylon "$HOME/.gitconfig"; then exit 1; fi
        stays b git -C b commit -q --allow-empty -m three'
    echo "$output"; [ "$status" -eq 0 ]
}

@test "enable --global and disable --global refuse with an older git, naming both versions" {
    run git hook list post-commit  # 0 or 1: a git with `hook list`, which runs configured hooks
    [ "$status" -gt 1 ] || skip "this machine's git runs configured hooks"
    found=$(git --version | sed 's/^git version //')
    for verb in enable disable; do
        run pylon-host git-activity $verb --global
        [ "$status" -eq 1 ]
        [[ $output == *"needs git 2.54 or later"*"this git is $found"* ]]
    done
    [ ! -e "$HOME/.gitconfig" ]
}
