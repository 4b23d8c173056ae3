// What _snwprintf writes, as a string: for the tests of the runtime's wide
// formatting (the POSIX layer's own, or the Windows C runtime).
#ifndef USERPOLICY_TESTS_SUPPORT_SNWPRINTF_TEXT_H_
#define USERPOLICY_TESTS_SUPPORT_SNWPRINTF_TEXT_H_

#include <string>

namespace userpolicy::testing {

// _vsnwprintf's output for `format` in a buffer of 256 characters, or
// "<invalid>" when it returns -1; a failure of the test when the count it
// returns is not the length it wrote.
std::wstring SnwprintfText(const wchar_t* format, ...);

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_SNWPRINTF_TEXT_H_
