#!/usr/bin/env bats
# git-activity beside the real hook tools: each is installed, enable runs, the tool's routine
# re-install runs, a commit must still be recorded, status must say through what, and disable must
# leave nothing recording that it may edit.
load helpers

setup_file() {
    # the npm tools come pinned from hook-tools/package-lock.json, cached outside the clone
    local why
    if bin=$("$BATS_TEST_DIRNAME/hook-tools/install" 2>"$BATS_FILE_TMPDIR/install.log"); then
        export NPM_TOOLS_BIN="$bin"
    else
        why=$(tail -n 1 "$BATS_FILE_TMPDIR/install.log")
        export NPM_TOOLS_SKIP="${why:-the npm hook tools could not be installed}"
    fi
}

eval "sealed_$(declare -f setup)"
setup() {
    sealed_setup
    T="$(pwd -P)"
    export HOME="$T/home" PYLON_GIT_ACTIVITY_DIR="$T/markers"
    if [ -n "${NPM_TOOLS_BIN:-}" ]; then
        export PATH="$NPM_TOOLS_BIN:$PATH"
    fi
}

need() {
    if [ "$1" = npm ]; then
        [ -n "${NPM_TOOLS_BIN:-}" ] || skip "$NPM_TOOLS_SKIP"
        return
    fi
    command -v "$1" >/dev/null 2>&1 || skip "$1 is not installed (Debian: $2; scripts/install-deps test installs it)"
}

mkrepo() {
    git -c init.defaultBranch=main init -q "$1"
    git -C "$1" commit -q --allow-empty -m first
}

marker() { printf '%s/%s' "$PYLON_GIT_ACTIVITY_DIR" "${1//\//-}"; }

# A commit in $1 moves its marker, set far back first, exactly when it records.
commit_records() { marker_after_commit "$1" -gt; }
commit_does_not_record() { marker_after_commit "$1" -eq; }
marker_after_commit() {
    touch -d @1000000000 "$(marker "$1")"
    git -C "$1" commit -q --allow-empty -m more
    [ "$(mtime "$(marker "$1")")" "$2" 1000000000 ]
}

@test "pre-commit: the recorder lives in the .legacy hook pre-commit runs, both orders" {
    need pre-commit pre-commit
    local r="$T/r" hooks="$T/r/.git/hooks"
    mkrepo "$r"
    printf 'repos:\n- repo: local\n  hooks:\n  - id: x\n    name: x\n    entry: "true"\n    language: system\n    stages: [post-commit]\n    always_run: true\n' >"$r/.pre-commit-config.yaml"
    # the tool first
    (cd "$r" && pre-commit install --hook-type post-commit >/dev/null)
    run -0 pylon-host git-activity enable "$r"
    [ "${lines[1]}" = "recorded through $hooks/post-commit.legacy, which pre-commit runs and \`pre-commit install\` keeps (\`pre-commit install -f\` deletes it)" ]
    (cd "$r" && pre-commit install --hook-type post-commit >/dev/null)
    commit_records "$r"
    run -0 pylon-host git-activity status "$r"
    [ "${lines[0]}" = "ok       hook          recorded through post-commit.legacy, which pre-commit runs" ]
    [[ "$output" == *"warning  tools         \`pre-commit install -f\` deletes $hooks/post-commit.legacy"* ]]
    run -0 pylon-host git-activity disable "$r"
    [ "$output" = "git-activity disabled: $hooks/post-commit.legacy" ]  # each copy taken out is named
    commit_does_not_record "$r"

    # enable first: pre-commit keeps our hook as .legacy, and disable must find it there
    rm -f "$hooks/post-commit" "$hooks/post-commit.legacy"
    run -0 pylon-host git-activity enable "$r"
    (cd "$r" && pre-commit install --hook-type post-commit >/dev/null)
    commit_records "$r"
    run -0 --separate-stderr pylon-host git-activity disable "$r" --json
    [ "$output" = "{\"ok\":true,\"hook\":null,\"changed\":true,\"removed\":[\"$hooks/post-commit.legacy\"],\"left\":[],\"still_recorded\":false,\"global_opt_out\":null}" ]
    commit_does_not_record "$r"

    # the team's entry, taken from the manual, records by the recorder's id
    { echo 'repos:' && sed -n '/^- repo: local$/,/^      pass_filenames: false$/p' \
        "$E2E_SOURCE_DIR/doc/pylon-host.1.scd"; } >"$r/.pre-commit-config.yaml"
    (cd "$r" && pre-commit install -f --hook-type post-commit >/dev/null)
    run -0 pylon-host git-activity enable "$r"
    [ "${lines[1]}" = "already recorded through .pre-commit-config.yaml: nothing to write" ]
    [ ! -e "$hooks/post-commit.legacy" ]
    commit_records "$r"
    run -0 pylon-host git-activity disable "$r"
    [ "${lines[0]}" = "still there, not disable's to edit: remove the entry \`pylon-git-activity\` from $r/.pre-commit-config.yaml by hand" ]
}

@test "git-lfs: enable names the commands that still work, and both hooks can run" {
    need git-lfs git-lfs
    local r="$T/r" hook="$T/r/.git/hooks/post-commit"
    mkrepo "$r"
    (cd "$r" && git lfs install --local >/dev/null)
    run -0 pylon-host git-activity enable "$r"
    [ "${lines[1]}" = "git-lfs will refuse $hook from now on (\`git lfs install\` and \`git lfs update\` stop with \"Hook already exists: post-commit\"): \`git lfs install --skip-repo\` still works, and \`git lfs update --force\` followed by \`pylon host git-activity enable\` gives this repository both hooks" ]
    # what the message promises, with the real tool
    run -2 git -C "$r" lfs update
    run -0 git -C "$r" lfs install --skip-repo
    run -0 git -C "$r" lfs update --force
    run -0 pylon-host git-activity enable "$r"
    grep -qx 'git lfs post-commit "$@"' "$hook"
    commit_records "$r"
    run -0 pylon-host git-activity disable "$r"
    grep -qx 'git lfs post-commit "$@"' "$hook"
    commit_does_not_record "$r"

    # a repository that uses LFS gets the same word before git-lfs's hooks are there, from
    # enable-all too
    mkrepo "$T/lfs/attrs"
    echo '*.bin filter=lfs diff=lfs merge=lfs -text' >"$T/lfs/attrs/.gitattributes"
    run -0 pylon-host git-activity enable-all "$T/lfs"
    [[ "${lines[0]}" == *"/lfs/attrs: git-lfs will refuse "* ]]
    [ "${lines[1]}" = "git-activity enabled in 1 repo(s)" ]
}

@test "husky: the recorder goes into .husky/post-commit, kept out of git; the old hook is found" {
    need npm
    local r="$T/r"
    mkrepo "$r"
    # enable first: husky moves core.hooksPath away and our hook stays behind in .git/hooks
    run -0 pylon-host git-activity enable "$r"
    (cd "$r" && husky >/dev/null)
    run -1 pylon-host git-activity status "$r"
    [[ "${lines[0]}" == *"the recorder stands in $r/.git/hooks/post-commit, which git does not run while core.hooksPath points elsewhere (unsetting it brings it back)" ]]
    run -0 pylon-host git-activity enable "$r"
    [ "${lines[1]}" = "recorded through $r/.husky/post-commit, which husky runs (listed in .git/info/exclude, so git leaves it out)" ]
    [ -z "$(git -C "$r" status --porcelain)" ]
    (cd "$r" && husky >/dev/null)  # what every npm install runs
    commit_records "$r"
    run -0 pylon-host git-activity status "$r"
    [ "${lines[0]}" = "ok       hook          recorded through $r/.husky/post-commit, which husky runs" ]
    # both copies go: the one husky runs, and the one git runs again once husky is gone
    run -0 pylon-host git-activity disable "$r"
    [ ! -e "$r/.husky/post-commit" ]
    commit_does_not_record "$r"
    git -C "$r" config --unset core.hooksPath
    commit_does_not_record "$r"
    # a post-commit the team tracks is theirs: enable leaves it as it is
    (cd "$r" && husky >/dev/null) && printf 'npm test\n' >"$r/.husky/post-commit"
    git -C "$r" add -f .husky/post-commit && git -C "$r" commit -qm team
    run -0 pylon-host git-activity enable "$r"
    [ "$(cat "$r/.husky/post-commit")" = "npm test" ]
    # and so is a link the team tracks there, wherever it leads
    printf 'alias l=ls\n' >"$HOME/.bashrc"
    ln -sf ../../home/.bashrc "$r/.husky/post-commit"
    git -C "$r" add -f .husky/post-commit && git -C "$r" commit -qm link
    run pylon-host git-activity enable "$r"
    [ "$(cat "$HOME/.bashrc")" = "alias l=ls" ] && [ "$(stat -c %a "$HOME/.bashrc")" = 644 ]
}

@test "lefthook: the recorder goes into lefthook-local.yml; its .old copy is found" {
    need npm
    local r="$T/r"
    mkrepo "$r"
    printf 'post-commit:\n  commands:\n    hi:\n      run: "true"\n' >"$r/lefthook.yml"
    # enable first: lefthook moves our hook aside to post-commit.old and runs it no more
    run -0 pylon-host git-activity enable "$r"
    [[ "${lines[1]}" == "lefthook manages this repository's hooks: once its configuration"* ]]
    (cd "$r" && lefthook install >/dev/null 2>&1)
    commit_does_not_record "$r"
    run -1 pylon-host git-activity status "$r"
    [[ "$output" == *"warning  tools         a copy of the recorder stands in post-commit.old"* ]]
    # an exclude file that cannot take the line: the dry run fails as the real run does, and
    # nothing is left for a `git add -A`
    if chattr +i "$r/.git/info" 2>/dev/null; then
        run -0 pylon-host git-activity enable-all --dry-run "$r"
        [ "${lines[-1]}" = "git-activity would enable in 0 repo(s), 1 failed" ]
        run -1 pylon-host git-activity enable "$r"
        chattr -i "$r/.git/info"
        [ ! -e "$r/lefthook-local.yml" ]
    fi
    run -0 pylon-host git-activity enable "$r"
    [ "${lines[1]}" = "recorded through $r/lefthook-local.yml, which lefthook's post-commit hook runs (listed in .git/info/exclude)" ]
    # a change to the team's configuration, and lefthook's routine re-sync
    printf 'post-commit:\n  commands:\n    hi:\n      run: "true"\n    ho:\n      run: "true"\n' >"$r/lefthook.yml"
    (cd "$r" && lefthook install >/dev/null 2>&1)
    commit_records "$r"
    run -0 pylon-host git-activity status "$r"
    [ "${lines[0]}" = "ok       hook          recorded through lefthook-local.yml" ]
    run -0 pylon-host git-activity disable "$r"
    [ ! -e "$r/lefthook-local.yml" ]
    commit_does_not_record "$r"
    # a lefthook-local.yml the team tracks as a link out of the tree is never written through
    printf 'PATH=x\n' >"$HOME/.profile"
    ln -s ../home/.profile "$r/lefthook-local.yml"
    git -C "$r" add lefthook-local.yml && git -C "$r" commit -qm local
    run pylon-host git-activity enable "$r"
    [ "$(cat "$HOME/.profile")" = "PATH=x" ]
    (cd "$r" && lefthook uninstall >/dev/null 2>&1)  # puts post-commit.old back
    commit_does_not_record "$r"
}

@test "simple-git-hooks: enable says its next run removes the hook; the team's entry records" {
    need npm
    local r="$T/r" hook="$T/r/.git/hooks/post-commit"
    mkrepo "$r"
    echo '{"name":"x","simple-git-hooks":{"pre-commit":"true"}}' >"$r/package.json"
    run -0 pylon-host git-activity enable "$r"
    [ "${lines[1]}" = "this repository configures simple-git-hooks, whose next \`npx simple-git-hooks\` deletes $hook unless its configuration has a post-commit entry" ]
    [ "${lines[2]}" = "to record through simple-git-hooks, add to \"simple-git-hooks\" in $r/package.json:" ]
    local entry="${lines[3]}"
    # its routine run deletes the hook, and status --all names the fix
    (cd "$r" && simple-git-hooks >/dev/null)
    run -1 pylon-host git-activity status --all
    [ "${lines[2]}" = "not recorded  $r: no post-commit hook at $hook: run \`pylon host git-activity enable\`; simple-git-hooks rewrites the hooks at each run, so add to \"simple-git-hooks\" in $r/package.json: \"post-commit\": \"$BLOCK_COMMAND\", then run \`npx simple-git-hooks\`" ]
    # the snippet as printed, put where it says, is what the tool installs
    printf '{"name":"x","simple-git-hooks":{"pre-commit":"true",%s}}\n' "$entry" >"$r/package.json"
    (cd "$r" && simple-git-hooks >/dev/null)
    commit_records "$r"
    run -0 pylon-host git-activity status "$r"
    [ "${lines[0]}" = "ok       hook          recorded through package.json's simple-git-hooks" ]
    run -0 pylon-host git-activity disable "$r"
    [ "${lines[0]}" = "still there, not disable's to edit: remove \"post-commit\" from \"simple-git-hooks\" in $r/package.json by hand" ]
    [ "${lines[1]}" = "commits here are still recorded until that is done" ]
}
