/* A C host of the installed library, built through pkg-config: starts the
 * module through the C interface (settings from $USERPOLICY_SETTINGS), and
 * prints the GUID list and the e-mail address of each SIP address given on
 * the command line, then stops the module.
 *
 *   capi_host SIP_ADDRESS...
 *
 * Output lines:
 *   version <up_version()>
 *   guids <address> <status name> <guid> <guid> ...
 *   email <address> <status name> <e-mail>|-
 * Exit status 0, or 1 when the module did not start or stop. */
#include <stdio.h>

#include "capi/userpolicy.h"

static void PrintGuids(const char* sip_address) {
  up_string_list* guids = NULL;
  size_t i;
  const int status = up_get_guids(sip_address, &guids, NULL);
  printf("guids %s %s", sip_address, up_status_name(status));
  if (guids != NULL) {
    for (i = 0; i < guids->count; ++i) printf(" %s", guids->items[i]);
  }
  printf("\n");
  up_free_string_list(guids);
}

static void PrintEmail(const char* sip_address) {
  char* email = NULL;
  const int status = up_get_email(sip_address, &email, NULL);
  printf("email %s %s %s\n", sip_address, up_status_name(status), email != NULL ? email : "-");
  up_free_string(email);
}

int main(int argc, char** argv) {
  up_error* error = NULL;
  int i;
  printf("version %s\n", up_version());
  if (up_start(NULL, &error) != UP_OK) {
    fprintf(stderr, "up_start: %s\n", error != NULL ? error->message : "out of memory");
    up_free_error(error);
    return 1;
  }
  for (i = 1; i < argc; ++i) {
    PrintGuids(argv[i]);
    PrintEmail(argv[i]);
  }
  if (up_stop(&error) != UP_OK) {
    fprintf(stderr, "up_stop: %s\n", error != NULL ? error->message : "out of memory");
    up_free_error(error);
    return 1;
  }
  return 0;
}
