// Main: the daemon's whole life on the main thread, from the command line to
// the orderly stop.
//
// Start-up: command line (or the argument file "ostrel.args" of the current
// directory), logging, configuration, the root filesystem and the descriptor
// bridge, the optional fork into the background, the network job, and the
// FUSE loop, which lasts as long as the volume is mounted (an unmount, or
// SIGTERM/SIGINT to the daemon, ends it). Shut-down takes everything down in
// the reverse order: FUSE, the network, the filesystem, the configuration.
#pragma once

namespace OST {

// Returns the exit status: 0, or 1 when the FUSE loop failed (for example
// the mount point does not exist). Throws the Error that ends the program;
// `main` turns its code into the exit status.
int Main(int argc, const char* const* argv);

}  // namespace OST
