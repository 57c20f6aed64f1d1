#include "cli/cli.hpp"

namespace cli {

const char* const version_text = "pylon-host " PYLON_HOST_VERSION;

const char* const describe_text =
    "host — machine integration: git-activity commit markers (record/enable/migrate) and the "
    "quaylink peer share (push/pull/ls)";

const char* const help_text =
    "pylon-host — machine integration for the fleet\n"
    "\n"
    "usage:\n"
    "  pylon host git-activity record [--at EPOCH]      touch this repo's marker (post-commit hook "
    "entry point)\n"
    "  pylon host git-activity enable [REPO]            install the post-commit recorder + "
    "backfill the marker\n"
    "  pylon host git-activity enable-all [DIR ...]     \u2026in every repo under DIR (default "
    "~/work)\n"
    "  pylon host git-activity disable [REPO]           remove the recorder from REPO's hook\n"
    "  pylon host git-activity list [--json]            markers, newest first\n"
    "  pylon host git-activity path                     print the marker directory\n"
    "  pylon host git-activity migrate [--apply]        copy legacy ~/.kestrel markers into the "
    "fleet home\n"
    "\n"
    "  pylon share push <file ...> [--peer NAME]        send file(s) to the peer's share\n"
    "  pylon share pull <name> [--peer NAME]            fetch a file into the local share\n"
    "  pylon share ls [subpath] [--peer NAME] [--json]  list the peer's share\n"
    "  pylon share dir [--open]                         print (and optionally open) the local "
    "share\n"
    "  pylon share peer [name]                          show or set the default share peer\n"
    "\n"
    "  (every `pylon share X` is also `pylon host share X`)\n"
    "\n"
    "options:\n"
    "      --peer NAME   quaylink peer to talk to (see `quaylink peers`)\n"
    "      --json        machine-readable output (stable, grow-only schema)\n"
    "      --timeout S   deadline in seconds (transfers 900, listings 60, walks 300)\n"
    "      --at EPOCH    record a marker at a specific commit time instead of now\n"
    "      --apply       perform the migration instead of describing it\n"
    "      --open        also open the share directory in the desktop file manager\n"
    "\n"
    "env:\n"
    "  PYLON_GIT_ACTIVITY_DIR  marker directory override (else $PYLON_HOME/git-activity,\n"
    "                          else ~/.pylon/git-activity, else ~/.kestrel/git-activity)\n"
    "  PYLON_SHARE_DIR         served share directory (default ~/work/quaylink-share)\n"
    "  PYLON_SHARE_PEER        default quaylink peer for this shell";

}  // namespace cli
