// The program "test": prints its line and says whether it got out.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "func.h"

namespace {

// A line that never reached standard output is a failure, not a success.
void exit_on_write_error() {
  if (fflush(stdout) == 0 && !ferror(stdout)) return;
  (void)fprintf(stderr, "test: write error: %s\n", strerror(errno));
  exit(1);
}

}  // namespace

int main() {  // arguments are ignored
  disp();
  exit_on_write_error();
  exit(0);
}
