// Cost of bringing up the test directory server: temporary directory,
// slapadd of the entries, slapd start and the `member` values through the
// memberof overlay.  The generated 10,000-user directory must stay well under
// a minute, or test programs that load it become a burden.

#include <benchmark/benchmark.h>

#include <memory>
#include <sstream>
#include <string>

#include "local_directories/directory_generator.h"
#include "local_directories/slapd_server.h"

namespace {

using userpolicy::local_directories::GeneratorOptions;
using userpolicy::local_directories::SlapdOptions;
using userpolicy::local_directories::SlapdServer;
using userpolicy::local_directories::WriteGeneratedDirectory;

constexpr int kUsersPerGroup = 5;

void BM_StartSampleDirectory(benchmark::State& state) {
  for (auto _ : state) {
    std::unique_ptr<SlapdServer> server = SlapdServer::Start();
    benchmark::DoNotOptimize(server->port());
    state.PauseTiming();
    server.reset();  // stopping is not part of the start cost
    state.ResumeTiming();
  }
}
BENCHMARK(BM_StartSampleDirectory)->Unit(benchmark::kMillisecond);

// range(0): users; a fifth as many groups.  The LDIF text is made once.
void BM_StartGeneratedDirectory(benchmark::State& state) {
  GeneratorOptions generator;
  generator.user_count = static_cast<int>(state.range(0));
  generator.group_count = generator.user_count / kUsersPerGroup;
  std::ostringstream text;
  WriteGeneratedDirectory(text, generator);
  const std::string ldif = text.str();

  SlapdOptions options;
  options.ldif_files.clear();
  options.ldif_writers.push_back([&](std::ostream& out) { out << ldif; });
  for (auto _ : state) {
    std::unique_ptr<SlapdServer> server = SlapdServer::Start(options);
    benchmark::DoNotOptimize(server->port());
    state.PauseTiming();
    server.reset();
    state.ResumeTiming();
  }
  state.counters["entries"] =
      static_cast<double>(generator.user_count + generator.group_count);
}
BENCHMARK(BM_StartGeneratedDirectory)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
