// Entry point shared by every test program that has none of its own (see
// run_all_tests.h). Kept alone in its object file, so that a program that
// defines main does not pull this one in from the support library.
#include "tests/support/run_all_tests.h"

int main(int argc, char** argv) { return userpolicy::testing::RunAllTests(argc, argv); }
