#!/usr/bin/env bats
# Run by the tsan preset against its pylon-host: the signal forwarder and the reaper of one child
# take their locks while ThreadSanitizer watches, which reports any two locks taken in both orders.
load ../e2e/helpers

@test "the signal forwarder and the reaper take their locks in one order" {
    strace -o /dev/null true 2>/dev/null || skip "strace cannot trace here"
    mkdir bin
    # the child asks for the signal itself, so it is running when the forwarder looks
    printf '#!/bin/sh\nkill -TERM $PPID\nexec sleep 30\n' >bin/quaylink
    chmod +x bin/quaylink
    # the forwarder's re-raise (tgkill) is held for 3 s: time for the reaper of the killed child to
    # take its locks while the forwarder still holds its own
    PATH="$PWD/bin:$PATH" run --separate-stderr timeout 60 strace -f -o /dev/null \
        -e trace=tgkill -e inject=tgkill:delay_enter=3000000 pylon-host share ls --peer mini
    printf '%s\n' "$stderr"  # shown if the test fails: the report, if any
    [ "$status" -eq 143 ]  # ended by the signal, not by a report (66) or the bound (124)
}
