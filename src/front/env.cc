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

Path ResolvePath(std::string_view text) try {
  Path result = text.starts_with('/') ? Path() : CurrentDir();
  const std::u32string wide = string8to32(text);
  size_t start = 0;
  while (start <= wide.size()) {
    size_t end = wide.find(U'/', start);
    if (end == std::u32string::npos) end = wide.size();
    const std::u32string_view component(wide.data() + start, end - start);
    if (component == U"..") {
      if (result.Empty()) OST_THROW(Error(E_INVAL, "Path leaves the root directory").Add("path", text));
      result = result.Parent();
    } else if (!component.empty() && component != U".") {
      result.Append(Path(component));
    }
    start = end + 1;
  }
  return result;
}
OST_TRAIL

}  // namespace OST::Env
