// The greeting line of the program.
#ifndef CAPECHO_FUNC_H
#define CAPECHO_FUNC_H

// Prints "Hello\n" on standard output (buffered; the caller flushes).
void disp();

#endif  // CAPECHO_FUNC_H
