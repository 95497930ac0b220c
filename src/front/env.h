// Facts about the process environment that start-up needs.
// Thread contract: safe from any thread.
#pragma once

#include <string_view>

#include "core/path.h"

namespace OST::Env {

// The current directory; throws Errno "Could not get current directory".
Path CurrentDir();

// A path given on the command line: absolute when it starts with "/",
// otherwise relative to the current directory. "." components are dropped
// and ".." removes the component before it, so "./node.json" and
// "../etc/node.json" work as a shell user expects. Throws what Path throws
// for names it cannot hold, and E_INVAL "Path leaves the root directory"
// for a ".." above the root.
Path ResolvePath(std::string_view text);

}  // namespace OST::Env
