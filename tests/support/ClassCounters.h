#pragma once
// Counters: the four change counters of one record class (primary update,
// primary delete, sub update, sub delete) as one comparable value, read with
// countersOf; delta(after, before) is what happened in between.
#include <cstdint>

#include "modGenGlobals.h"

struct Counters {
  int32_t primaryUpdate, primaryDelete, subUpdate, subDelete;
  bool operator==(const Counters&) const = default;
};

inline Counters countersOf(int32_t classType) {
  return {modGenGlobals::PrimaryUpdateCounter[classType],
          modGenGlobals::PrimaryDeleteCounter[classType],
          modGenGlobals::SubUpdateCounter[classType], modGenGlobals::SubDeleteCounter[classType]};
}

inline Counters delta(const Counters& after, const Counters& before) {
  return {after.primaryUpdate - before.primaryUpdate, after.primaryDelete - before.primaryDelete,
          after.subUpdate - before.subUpdate, after.subDelete - before.subDelete};
}
