// What `upm guids` and `upm email` found for one SIP address, before it is
// formatted.
#ifndef USERPOLICY_TOOLS_UPM_LOOKUP_ANSWER_H_
#define USERPOLICY_TOOLS_UPM_LOOKUP_ANSWER_H_

#include <string>
#include <vector>

#include "tools/upm/userpolicy_library.h"

namespace upm {

enum class Outcome { kFound, kNotFound, kFailed };

// "found", "not_found", "failed": the JSON "status" values.
const char* OutcomeName(Outcome outcome);

// The outcome of a call that returned `status`.
Outcome OutcomeForStatus(int status);

struct LookupAnswer {
  std::string sip;
  Outcome outcome = Outcome::kFailed;
  std::vector<std::string> guids;  // `guids`, when found
  std::string email;               // `email`, when found
  CallError error;                 // when failed
  double milliseconds = 0;         // the lookup's wall time
};

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_LOOKUP_ANSWER_H_
