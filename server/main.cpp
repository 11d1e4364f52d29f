// capecho-server: the upper-casing echo service over TCP.
#include "capecho.h"
#include "host.h"

int main(int argc, char** argv) { return capecho::host_main(argc, argv, send_msg); }
