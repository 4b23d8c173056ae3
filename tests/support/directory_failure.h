// The failure a call into the directory-access library raises, for tests
// that check its code, message and context.
#ifndef USERPOLICY_TESTS_SUPPORT_DIRECTORY_FAILURE_H_
#define USERPOLICY_TESTS_SUPPORT_DIRECTORY_FAILURE_H_

#include <gtest/gtest.h>

#include "platform/directory/directory_error.h"

namespace userpolicy::testing {

// Runs `call`, which must raise a CDirectoryException, and returns it; a
// call that raises none is a test failure (and an empty exception comes
// back).
template <typename Call>
CDirectoryException DirectoryFailure(Call&& call) {
  try {
    call();
  } catch (const CDirectoryException& error) {
    return error;
  }
  ADD_FAILURE() << "no CDirectoryException";
  return CDirectoryException(0, "", 0, L"");
}

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_DIRECTORY_FAILURE_H_
