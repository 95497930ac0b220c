// Main: the daemon's whole life on the main thread, from the command line to
// the orderly stop. Throws the Error that ends the program; `main` turns it
// into the exit status.
#pragma once

namespace OST {

void Main(int argc, const char* const* argv);

}  // namespace OST
