#include "PoolLoan.h"

#include <string>

#include "TvrError.h"

PoolLoan::PoolLoan(int32_t classType)
    : collection_(modGlobalFunctions::GetPoolObj(classType, true)) {
  if (!collection_) {
    throw TvrError(kErrObjectNotSet, "PoolLoan",
                   "No collection of record class " + std::to_string(classType) + " can be lent");
  }
}

PoolLoan::~PoolLoan() { modGlobalFunctions::ReleasePoolObj(collection_); }
