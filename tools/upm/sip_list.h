// The SIP addresses of a batch (--file): one a line; surrounding blanks
// and a carriage return are dropped, blank lines and lines starting with
// '#' are skipped.
#ifndef USERPOLICY_TOOLS_UPM_SIP_LIST_H_
#define USERPOLICY_TOOLS_UPM_SIP_LIST_H_

#include <istream>
#include <string>
#include <vector>

namespace upm {

// Appends the addresses `in` holds to *sips; false when reading failed
// (not at the end of the input).
bool ReadSipList(std::istream& in, std::vector<std::string>* sips);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_SIP_LIST_H_
