#include "func.h"

#include <stdio.h>

void disp() { printf("Hello\n"); }
