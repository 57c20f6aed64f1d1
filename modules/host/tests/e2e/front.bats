#!/usr/bin/env bats
load helpers

@test "help words print the help text and exit 0" {
    run -0 --separate-stderr pylon-host
    [ "${lines[0]}" = "pylon-host — machine integration for the fleet" ]
    local want="$output"
    for words in '' help -h --help; do
        run -0 --separate-stderr pylon-host $words
        [ "$output" = "$want" ]
        [ -z "$stderr" ]
    done
    run -0 pylon-host ""
    [ "$output" = "$want" ]
    # exactly one newline at the end, and no other trailing text
    [ "$(pylon-host | tail -c 3 | od -An -tx1 | tr -d ' \n')" = "6c6c0a" ]  # "ll\n"
    # the grown flags; each group's help is its lines of the whole help
    [[ "$want" == *$'\n      --dry-run '*$'\n  -h, --help '*$'\n      --version '* ]]
    for words in "git-activity --help" "share -h"; do
        run -0 --separate-stderr pylon-host $words
        [ -n "$output" ] && [ -z "$stderr" ]
        [ "$output" = "$(grep "^  pylon \(host \)\?${words% *} " <<<"$want")" ]
    done
}

@test "--describe prints one line whatever follows" {
    run -0 --separate-stderr pylon-host --describe share bogus
    [ "$output" = "host — machine integration: git-activity commit markers (record/enable/migrate) and the quaylink peer share (push/pull/ls)" ]
    [ "$(pylon-host --describe | wc -l)" -eq 1 ]
}

@test "unknown verbs are usage errors with status 2" {
    for verb in Share host --json; do
        run -2 --separate-stderr pylon-host "$verb" share ls
        [ -z "$output" ]
        [[ "$stderr" = "pylon-host: unknown verb '$verb'. Expected: git-activity | share (see \`pylon host help\`)"* ]]
    done
    [[ "$stderr" != *"did you mean"* ]]
    run -2 --separate-stderr pylon-host Share
    [[ "$stderr" = *" (did you mean 'share'?)" ]]
}

@test "an argument that is not UTF-8 is a usage error naming its position" {
    run -2 --separate-stderr pylon-host nope "$(printf 'b\377')"
    [ "$stderr" = "pylon-host: argument 2 is not valid UTF-8 ('b�')" ]
}

@test "a closed pipe on standard output does not change the status" {
    run -0 bash -c 'set -o pipefail; pylon-host --help | true'
    run -0 bash -c 'pylon-host --help >&-'
    run -2 bash -c 'pylon-host bogus 2>&- >&-'
}

@test "--version prints the version the build and the package carry" {
    local want
    want=$(sed -n 's/^project(pylon-host VERSION \([0-9.]*\) .*/\1/p' "$E2E_SOURCE_DIR/CMakeLists.txt")
    [ -n "$want" ]
    run -0 --separate-stderr pylon-host --version
    [ "$output" = "pylon-host $want" ]
    [ -z "$stderr" ]
}
