// generate_directory: writes the deterministic benchmark directory as LDIF.
//
//   generate_directory [--users N] [--groups N] [--eleven N] [--seed N]
//                      [--base DN] [--output FILE] [--stats]
//
// Without --output the LDIF goes to stdout.  --stats prints to stderr how
// many groups users reach through memberOf (min, mean, max).

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "local_directories/directory_generator.h"

namespace {

using userpolicy::local_directories::GeneratedDirectory;
using userpolicy::local_directories::GenerateDirectory;
using userpolicy::local_directories::GeneratorOptions;
using userpolicy::local_directories::TransitiveGroups;
using userpolicy::local_directories::WriteLdif;

constexpr int kUsageExitCode = 2;

int Usage(const char* problem) {
  std::cerr << "generate_directory: " << problem
            << "\nusage: generate_directory [--users N] [--groups N] "
               "[--eleven N] [--seed N] [--base DN] [--output FILE] "
               "[--stats]\n";
  return kUsageExitCode;
}

bool ParseNumber(const char* text, uint64_t* value) {
  char* end = nullptr;
  errno = 0;
  unsigned long long parsed = std::strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0') return false;
  *value = parsed;
  return true;
}

void PrintStats(const GeneratedDirectory& directory) {
  size_t min = SIZE_MAX, max = 0, total = 0;
  for (size_t i = 0; i < directory.users.size(); ++i) {
    size_t reached = TransitiveGroups(directory, static_cast<int>(i)).size();
    min = std::min(min, reached);
    max = std::max(max, reached);
    total += reached;
  }
  std::cerr << directory.users.size() << " users, " << directory.groups.size()
            << " groups; groups reached through memberOf: min " << min
            << ", mean "
            << static_cast<double>(total) /
                   static_cast<double>(directory.users.size())
            << ", max " << max << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  GeneratorOptions options;
  std::string output;
  bool stats = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view flag = argv[i];
    if (flag == "--stats") {
      stats = true;
      continue;
    }
    if (i + 1 >= argc) return Usage("missing value after an option");
    const char* value = argv[++i];
    uint64_t number = 0;
    if (flag == "--base") {
      options.base_dn = value;
    } else if (flag == "--output") {
      output = value;
    } else if (!ParseNumber(value, &number)) {
      return Usage("not a number");
    } else if (flag == "--users") {
      options.user_count = static_cast<int>(number);
    } else if (flag == "--groups") {
      options.group_count = static_cast<int>(number);
    } else if (flag == "--eleven") {
      options.eleven_user_count = static_cast<int>(number);
    } else if (flag == "--seed") {
      options.seed = number;
    } else {
      return Usage("unknown option");
    }
  }

  try {
    GeneratedDirectory directory = GenerateDirectory(options);
    if (stats) PrintStats(directory);
    if (output.empty()) {
      WriteLdif(std::cout, directory, options);
      std::cout.flush();
      return std::cout ? EXIT_SUCCESS : EXIT_FAILURE;
    }
    std::ofstream file(output, std::ios::binary | std::ios::trunc);
    WriteLdif(file, directory, options);
    file.close();
    if (!file) {
      std::cerr << "generate_directory: cannot write " << output << "\n";
      return EXIT_FAILURE;
    }
  } catch (const std::exception& e) {
    std::cerr << "generate_directory: " << e.what() << "\n";
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
