// Catching an expected Error in tests and looking at it as plain values.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/error.h"

namespace OST::testutil {

using DetailPairs = std::vector<std::pair<std::string, std::string>>;

struct CaughtError {
  bool thrown = false;
  uint32_t code = E_OK;
  std::string text;
  DetailPairs details;  // every pair except the `in` pairs, in order
  std::string full;     // FullText(','), for failure messages
};

// Runs `f` and reports the Error it throws; `thrown` is false when it
// returned normally. Exceptions other than Error pass through.
template <typename F>
CaughtError CatchError(F&& f) {
  CaughtError caught;
  try {
    std::forward<F>(f)();
  } catch (const Error& e) {
    caught.thrown = true;
    caught.code = e.Code();
    caught.text = e.Text();
    for (auto& pair : e.Pairs()) {
      if (pair.first != "in") caught.details.push_back(std::move(pair));
    }
    caught.full = e.FullText(',');
  }
  return caught;
}

}  // namespace OST::testutil
