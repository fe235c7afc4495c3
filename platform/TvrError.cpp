#include "TvrError.h"

TvrError::TvrError(int number, std::string source, std::string description,
                   std::string helpFile, int helpContext)
    : std::runtime_error(description),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)),
      helpFile_(std::move(helpFile)),
      helpContext_(helpContext) {}

TvrError TvrError::withSourcePrefix(const std::string& prefix) const {
  return TvrError(number_, prefix + source_, description_, helpFile_, helpContext_);
}
