// The whole server program around a session handler, so the same host can
// serve send_msg or any other handler with the same signature.
#ifndef CAPECHO_SERVER_HOST_H
#define CAPECHO_SERVER_HOST_H

namespace capecho {

// Parses the command line, serves until stopped, returns the exit status:
// 0 after a clean stop, 1 on a runtime failure, 2 on bad usage.
//
// Sessions run on a few worker threads. Link the handler's archive through
// capecho_hosted_copy() (server/CMakeLists.txt), so that its socket calls
// are the host's: a session whose client is quiet then waits parked, without
// a thread. A handler linked as it is would block a worker in each call.
int host_main(int argc, char** argv, void (*handler)(int fd));

}  // namespace capecho

#endif  // CAPECHO_SERVER_HOST_H
