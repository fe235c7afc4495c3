#pragma once
// errorNumberOf: the number of the TvrError that `call` raises, or 0 when it
// raises none. Any other exception fails the test that called it.
#include <functional>

#include "TvrError.h"

inline int errorNumberOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const TvrError& error) {
    return error.number();
  }
  return 0;
}
