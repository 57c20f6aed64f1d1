#pragma once

#include "cli/cli.hpp"

#include <iosfwd>
#include <string>

namespace share {
class Quaylink;
}

namespace cli {

// The share verb group: everything after the group word. Every transfer and listing goes
// through `tool`.
VerbResult share_verb(const Args& args, share::Quaylink& tool, std::ostream& out);

// The peer for this command: --peer, else $PYLON_SHARE_PEER, else share.json, else the single
// registered node; validated.
Result<std::string, HostError> peer_for(const host::Parsed& args);

}  // namespace cli
