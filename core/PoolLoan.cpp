#include "PoolLoan.h"

PoolLoan::PoolLoan(int32_t classType) : collection_(modGlobalFunctions::GetPoolObj(classType, true)) {}

PoolLoan::~PoolLoan() { modGlobalFunctions::ReleasePoolObj(collection_); }
