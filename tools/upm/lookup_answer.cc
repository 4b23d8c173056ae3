#include "tools/upm/lookup_answer.h"

namespace upm {

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kFound:
      return "found";
    case Outcome::kNotFound:
      return "not_found";
    case Outcome::kFailed:
      break;
  }
  return "failed";
}

Outcome OutcomeForStatus(int status) {
  if (status == UP_OK) return Outcome::kFound;
  if (status == UP_NOT_FOUND) return Outcome::kNotFound;
  return Outcome::kFailed;
}

}  // namespace upm
