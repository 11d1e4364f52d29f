// The host's one way to say what failed: the call and its errno, both plain
// values, so that a failure costs no memory to report. Functions return
// bool and fill a failure; the text is made only where it is logged.
#ifndef CAPECHO_SERVER_FAILURE_H
#define CAPECHO_SERVER_FAILURE_H

namespace capecho {

struct failure {
  const char* call = "";  // a static text: the failed call
  int err = 0;            // its errno, or the error number it returned
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_FAILURE_H
