#include "tools/upm/sip_list.h"

namespace upm {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

bool ReadSipList(std::istream& in, std::vector<std::string>* sips) {
  std::string line;
  while (std::getline(in, line)) {
    size_t begin = 0;
    size_t end = line.size();
    while (begin < end && IsBlank(line[begin])) ++begin;
    while (end > begin && IsBlank(line[end - 1])) --end;
    if (begin == end || line[begin] == '#') continue;
    sips->push_back(line.substr(begin, end - begin));
  }
  return !in.bad();
}

}  // namespace upm
