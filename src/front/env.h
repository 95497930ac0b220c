// Facts about the process environment that start-up needs.
// Thread contract: safe from any thread.
#pragma once

#include "core/path.h"

namespace OST::Env {

// The current directory; throws Errno "Could not get current directory".
Path CurrentDir();

}  // namespace OST::Env
