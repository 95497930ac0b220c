#include "front/env.h"

#include <unistd.h>

#include "core/error.h"
#include "core/text.h"

namespace OST::Env {

Path CurrentDir() try {
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) OST_THROW(Errno("Could not get current directory", "getcwd"));
  return Path(string8to32(buffer));
}
OST_TRAIL

}  // namespace OST::Env
