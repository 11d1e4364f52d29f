// The host's one way to say what failed, in plain values, so that a failure
// costs no memory to report. Functions return bool (or a value) and fill a
// failure; the text is made only where it is logged, and worded in
// events.cpp (failure_text, format_failure).
//
// Either a call failed: `call` names it and `err` is its errno. Or input was
// refused: `refused` says what is wrong with it, and the fields its wording
// names are set (`call` and `err` too when a failed call revealed it). The
// views point into the input itself, not a copy: word a failure while the
// input still exists (argv and the environment always do).
#ifndef CAPECHO_SERVER_FAILURE_H
#define CAPECHO_SERVER_FAILURE_H

#include <string_view>

namespace capecho {

// What is wrong with input the host refuses: a command line argument, a
// variable from the service manager, an inherited descriptor, a PROXY header.
enum class refusal : unsigned char {
  none,  // a call failed
  // HOST:PORT (`input`; `culprit` is HOST)
  not_host_port,
  port_out_of_range,
  ipv6_unbracketed,
  cannot_resolve,  // `detail`: the resolver's reason
  bracketed_not_ipv6,
  bracketed_not_scoped_ipv6,  // HOST has a %SCOPE
  ipv4_mapped,
  resolves_to_nothing,
  not_numeric_ipv4,
  not_numeric_ipv6,
  // unix:PATH (`input`; `culprit` is PATH)
  unix_path_length,
  unix_path_not_socket,
  unix_path_in_use,
  // ADDRESS[/PREFIX] (`input`; `culprit` is ADDRESS)
  not_numeric_address,
  prefix_out_of_range,  // `low`, `high`
  // The command line (`input`: the argument)
  not_a_number,  // `low`, `high`
  needs_argument,
  unknown_option,
  unexpected_argument,
  proxy_protocol_untrusted,
  trusted_proxy_alone,
  not_for_stdio,  // `input`: the options given, ", "-separated; `low`: how many
  not_log_format,
  not_yes_or_no,     // `input`: a switch's variable
  unknown_variable,  // `input`: NAME=VALUE from the environment; `culprit` NAME
  // From the service manager
  listen_fds_count,      // `input`: LISTEN_FDS
  not_listening_stream,  // `fd`
  inherited_unusable,    // `fd`, `err`
  notify_socket_path,    // `input`: NOTIFY_SOCKET
  // Standard input for --stdio
  stdin_not_socket,  // `err`
  stdin_not_stream,
  stdin_not_connected,  // `err`
  // A PROXY header
  proxy_header_invalid,  // `detail`: the parser's reason
  proxy_header_cut_short,
};

struct failure {
  const char* call = "";            // a static text: the failed call
  int err = 0;                      // its errno, or the error number it returned
  refusal refused = refusal::none;  // input refused: what is wrong with it
  std::string_view input{};         // the text refused
  std::string_view culprit{};       // the piece of `input` at fault
  const char* detail = "";          // a static text: a reason from elsewhere
  unsigned low = 0, high = 0;       // the range a number had to be in
  int fd = -1;                      // the descriptor refused
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_FAILURE_H
