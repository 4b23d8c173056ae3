#include "fuzz/fuzz_check.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

CheckFailure::CheckFailure(const char* file, int line, const char* condition)
    : file_(file), line_(line), condition_(condition) {}

CheckFailure::~CheckFailure() {
  const std::string detail = detail_.str();
  std::fprintf(stderr, "%s:%d: property broken: %s\n  %s\n", file_, line_, condition_, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace fuzz
