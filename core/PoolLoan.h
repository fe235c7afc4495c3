#pragma once
// PoolLoan: a pooled record collection borrowed for one scope. It takes a
// collection of its class with modGlobalFunctions::GetPoolObj (creating one
// when none is free) and gives it back with ReleasePoolObj when the scope
// ends, also when an error leaves it; the errors of GetPoolObj are raised.
// The caller saves what it changed before the loan ends.
#include <cstdint>

#include "modGlobalFunctions.h"

class PoolLoan {
 public:
  explicit PoolLoan(int32_t classType);
  ~PoolLoan();
  PoolLoan(const PoolLoan&) = delete;
  PoolLoan& operator=(const PoolLoan&) = delete;

  clsGenObject* operator->() const { return collection_.get(); }
  clsGenObject& operator*() const { return *collection_; }

 private:
  modGlobalFunctions::GenObjectRef collection_;
};
