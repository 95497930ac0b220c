#include "front/getopt.h"

#include <cstring>
#include <string>
#include <utility>

#include "core/error.h"

namespace OST {

void GetOpt::Parse(int argc, const char* const* argv, const char* options) try {
  char pending = 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-') {
      if (pending != 0) {
        ProcessOption(std::exchange(pending, 0), arg);
      } else {
        ProcessOption(0, arg);
      }
      continue;
    }
    if (arg[1] == '\0') {
      ProcessOption(0, arg);
      continue;
    }
    if (arg[1] == '-') OST_THROW(Error(E_INVAL, "Long options are not supported"));
    for (const char* c = arg + 1; *c != '\0'; ++c) {
      const char* found = std::strchr(options, *c);
      if (found == nullptr || *c == ':') OST_THROW(Error(E_INVAL, "Unexpected option").Add("option", std::string(1, *c)));
      if (found[1] == ':') {
        if (c[1] != '\0') {
          ProcessOption(*c, c + 1);
        } else {
          pending = *c;
        }
        break;
      }
      ProcessOption(*c, nullptr);
    }
  }
  if (pending != 0) OST_THROW(Error(E_INVAL, "Missing value for option").Add("option", std::string(1, pending)));
}
OST_TRAIL

}  // namespace OST
