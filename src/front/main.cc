// The daemon's process entry: runs Main and turns its outcome into the exit
// status (the code of an escaping Error; the shell sees its low 8 bits).
#include <exception>

#include "core/error.h"
#include "core/log.h"
#include "front/daemon.h"

int main(int argc, char** argv) {
  try {
    return OST::Main(argc, argv);
  } catch (const OST::Error& e) {
    OST_LOG_ALWAYS("Error: {}", e.FullText(','));
    return static_cast<int>(e.Code());
  } catch (const std::exception& e) {
    OST_LOG_ALWAYS("std::exception: {}", e.what());
    return 1;
  }
}
