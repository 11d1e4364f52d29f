// The whole server program around a session handler, so the same host can
// serve send_msg or any other handler with the same signature.
#ifndef CAPECHO_SERVER_HOST_H
#define CAPECHO_SERVER_HOST_H

namespace capecho {

// Parses the command line, serves until stopped, returns the exit status:
// 0 after a clean stop, 1 on a runtime failure, 2 on bad usage.
//
// With `parks_when_idle`, the handler's read, recvmsg, send and write are the
// host's (its archive linked with them renamed to capecho_hosted_*): each
// session then runs on a fiber, and a session whose client is quiet waits
// parked, without a thread.
int host_main(int argc, char** argv, void (*handler)(int fd), bool parks_when_idle = false);

}  // namespace capecho

#endif  // CAPECHO_SERVER_HOST_H
