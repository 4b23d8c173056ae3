// `upm guids` and `upm email`.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>

#include "tools/upm/answer_writer.h"
#include "tools/upm/batch_runner.h"
#include "tools/upm/commands.h"
#include "tools/upm/exit_codes.h"
#include "tools/upm/library_start.h"
#include "tools/upm/progress_bar.h"
#include "tools/upm/sip_list.h"

namespace upm {
namespace {

LookupAnswer LookUpGuids(const std::string& sip) {
  LookupAnswer answer;
  answer.outcome = OutcomeForStatus(GetGuids(sip, &answer.guids, &answer.error));
  return answer;
}

LookupAnswer LookUpEmail(const std::string& sip) {
  LookupAnswer answer;
  answer.outcome = OutcomeForStatus(GetEmail(sip, &answer.email, &answer.error));
  return answer;
}

// Appends the addresses of --file; 0 or kExitInput after saying why.
int ReadFileList(const Options& options, Console& console, std::vector<std::string>* sips) {
  bool ok = false;
  if (options.file == "-") {
    ok = ReadSipList(console.in, sips);
  } else {
    std::ifstream file(options.file);
    if (!file) {
      console.err << "upm: cannot read " << options.file << ": " << std::strerror(errno) << "\n";
      return kExitInput;
    }
    ok = ReadSipList(file, sips);
  }
  if (!ok) {
    console.err << "upm: cannot read " << (options.file == "-" ? "standard input" : options.file) << "\n";
    return kExitInput;
  }
  return kExitFound;
}

}  // namespace

int RunLookupCommand(const Options& options, Console& console) {
  std::vector<std::string> sips = options.sips;
  const bool batch = !options.file.empty();
  if (batch) {
    if (const int code = ReadFileList(options, console, &sips); code != kExitFound) return code;
  }

  LibrarySession session;
  if (const int code = StartLibraryFor(options, "", console, &session); code != kExitFound) return code;

  const std::unique_ptr<AnswerWriter> writer =
      options.json ? MakeJsonWriter(console.out, console.err) : MakeTextWriter(console.out, console.err);
  const bool guids = options.command == CommandName::kGuids;
  std::optional<ProgressBar> progress;
  if (batch && console.err_is_terminal) progress.emplace(console.err, sips.size());

  const BatchTotals totals = RunBatch(
      sips, options.threads, guids ? LookUpGuids : LookUpEmail,
      [&](const LookupAnswer& answer) { guids ? writer->Guids(answer) : writer->Email(answer); },
      progress ? &*progress : nullptr);
  if (batch) writer->Summary(totals);
  return totals.exit_code;
}

}  // namespace upm
