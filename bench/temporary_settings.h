// A settings file of a benchmark's own.
#ifndef USERPOLICY_BENCH_TEMPORARY_SETTINGS_H_
#define USERPOLICY_BENCH_TEMPORARY_SETTINGS_H_

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace userpolicy::bench {

// Writes `text` (TOML) to a file in the temporary directory named after
// `name` and this process, and returns its path; the caller removes it.
inline std::string WriteTemporarySettings(const std::string& name, const std::string& text) {
  const std::string path =
      (std::filesystem::temp_directory_path() / (name + "_" + std::to_string(getpid()) + ".toml")).string();
  std::ofstream(path) << text;
  return path;
}

}  // namespace userpolicy::bench

#endif  // USERPOLICY_BENCH_TEMPORARY_SETTINGS_H_
