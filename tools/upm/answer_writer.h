// How upm prints its answers: as text for people, or as JSON for programs
// (--json: one JSON document per line and answer; the field names below are
// stable and documented in --help and the man page).
//
// Answers go to `out`. Errors go to `err`, one line each ("upm: ..."), in
// text mode; in JSON mode they are part of the answer's document. The batch
// summary goes to `err` in both modes.
//
// Thread safety: a writer belongs to one thread.
#ifndef USERPOLICY_TOOLS_UPM_ANSWER_WRITER_H_
#define USERPOLICY_TOOLS_UPM_ANSWER_WRITER_H_

#include <memory>
#include <ostream>

#include "tools/upm/batch_runner.h"
#include "tools/upm/discovery.h"
#include "tools/upm/explain_walk.h"
#include "tools/upm/lookup_answer.h"
#include "tools/upm/object_lookup.h"

namespace upm {

class AnswerWriter {
 public:
  virtual ~AnswerWriter() = default;

  virtual void Guids(const LookupAnswer& answer) = 0;
  virtual void Email(const LookupAnswer& answer) = 0;
  virtual void Explain(const ExplainResult& result) = 0;
  virtual void Object(const ObjectAnswer& answer) = 0;
  virtual void Discovery(const DiscoveryAnswer& answer) = 0;
  virtual void Summary(const BatchTotals& totals) = 0;
};

// Both write to streams that must outlive the writer.
std::unique_ptr<AnswerWriter> MakeTextWriter(std::ostream& out, std::ostream& err);
std::unique_ptr<AnswerWriter> MakeJsonWriter(std::ostream& out, std::ostream& err);

// The JSON fields, as --help and the man page list them.
const char* JsonFieldsHelp();

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_ANSWER_WRITER_H_
