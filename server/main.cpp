// capecho-server: the upper-casing echo service over TCP.
#include "capecho.h"
#include "host.h"

// Linked against the host's copy of the library, so quiet sessions park.
int main(int argc, char** argv) { return capecho::host_main(argc, argv, send_msg); }
