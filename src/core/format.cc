#include "core/format.h"

#include "core/text.h"

namespace OST {

std::string ToString(const std::u32string& text) { return string32to8(text); }

std::string ToString(TimeoutMs timeout) { return std::to_string(timeout.value) + "ms"; }

size_t FormatString(std::string& result, std::string_view format, size_t position, std::string_view text) {
  const size_t found = format.find("{}", position);
  if (found != std::string_view::npos) {
    result.append(format.substr(position, found - position));
    result.append(text);
    return found + 2;
  }
  if (position < format.size()) result.append(format.substr(position));
  if (!result.empty() && result.back() != ' ') result += ' ';
  result.append(text);
  return format.size();
}

std::string FormatStringArgs(std::string_view format, std::initializer_list<std::string> texts) {
  std::string result;
  size_t position = 0;
  for (const std::string& text : texts) position = FormatString(result, format, position, text);
  if (position < format.size()) result.append(format.substr(position));
  return result;
}

}  // namespace OST
