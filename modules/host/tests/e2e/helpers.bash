# Loaded by every .bats file: a sealed world for the built binary.
bats_require_minimum_version 1.5.0

setup() {
    export HOME="$BATS_TEST_TMPDIR/home" && mkdir -p "$HOME"
    while IFS= read -r v; do unset "$v"; done < <(compgen -e | grep '^PYLON_')
    unset XDG_STATE_HOME  # prune's journal goes below the test's HOME
    export GIT_CONFIG_NOSYSTEM=1 GIT_AUTHOR_NAME=t GIT_AUTHOR_EMAIL=t@example.invalid \
        GIT_COMMITTER_NAME=t GIT_COMMITTER_EMAIL=t@example.invalid
    export PATH="$(dirname "$E2E_BIN"):$BATS_TEST_DIRNAME/../fakes:$PATH"
    export FAKE_QUAYLINK_LOG="$BATS_TEST_TMPDIR/quaylink.log"
    export FAKE_QUAYLINK_ROOT="$BATS_TEST_TMPDIR/peers"  # the stand-in's peer shares, one folder each
    cd "$BATS_TEST_TMPDIR" || return 1
}

# The recorder block enable writes, and its command line.
readonly BLOCK_COMMAND='command -v pylon-host >/dev/null 2>&1 && pylon-host git-activity record >/dev/null 2>&1 || true'
readonly BLOCK="# >>> pylon git-activity >>>
$BLOCK_COMMAND
# <<< pylon git-activity <<<"

mtime() { stat -c %Y "$1" 2>/dev/null || stat -f %m "$1"; }  # GNU, then BSD

# The prune journal of a marker directory: journal{key}.jsonl in the state directory, the key its
# canonical path with "/" as "-" and every byte but letters, digits and "._+,=@~" as %HH.
journal_of() {
    local dir key="" c i LC_ALL=C
    dir=$(cd "$1" && pwd -P) || return 1
    for ((i = 0; i < ${#dir}; i++)); do
        c=${dir:i:1}
        case $c in
            /) key+=- ;;
            [A-Za-z0-9._+,=@~]) key+=$c ;;
            *) key+=$(printf '%%%02x' "'$c") ;;
        esac
    done
    printf '%s/pylon-host/journal%s.jsonl\n' "${XDG_STATE_HOME:-$HOME/.local/state}" "$key"
}
