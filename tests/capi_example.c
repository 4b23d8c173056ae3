/* The README's example of the C interface; capi_header_is_c compiles it as
 * C99 to keep capi/userpolicy.h a C header. */
#include <stdio.h>

#include "capi/userpolicy.h"

int main(void) {
  up_options options = {"/etc/userpolicy/settings.toml", NULL, "warning", "stderr"};
  up_error* error = NULL;
  up_string_list* guids = NULL;
  size_t i;
  if (up_start(&options, &error) != UP_OK) {
    fprintf(stderr, "%s\n", error != NULL ? error->message : "out of memory");
    up_free_error(error);
    return 1;
  }
  if (up_get_guids("sip:alice@example.test", &guids, &error) == UP_OK) {
    for (i = 0; i < guids->count; ++i) puts(guids->items[i]);
    up_free_string_list(guids);
  } else {
    fprintf(stderr, "%s: %s\n", up_status_name(error->status), error->message);
    up_free_error(error);
  }
  up_stop(NULL);
  return 0;
}
