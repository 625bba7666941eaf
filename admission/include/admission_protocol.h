// The admission exchange between diskrelay (the client) and admissiond, over
// a Unix stream socket. Each message goes in one write, without terminator
// or length prefix, so one read takes it whole.
//
//   client: ADMIT CONTEXT[\0device=ID]   verb, one space, the transfer's
//           context (logged only), then optional fields, each behind a NUL,
//           which no context from the environment can hold. At most
//           admission_request_max bytes in all.
//   server: PROCEED                      the transfer runs and holds its
//           place until the client closes the connection;
//   server: RETRY N                      ask again in N seconds (N >= 1),
//           then the server closes. Anything else, or a hang-up, refuses.
//
//   admin:  STATUS                       answered with the counters
//           "running=N peak=N admitted=N denied=N" and a line feed.
//
// A server that knows no fields takes them for part of the context; a client
// that sends none is counted against the overall limit alone.

#ifndef ORVANE_ADMISSION_PROTOCOL_H
#define ORVANE_ADMISSION_PROTOCOL_H

#include <cstddef>
#include <string_view>

constexpr char admission_admit[] = "ADMIT";
constexpr char admission_proceed[] = "PROCEED";
constexpr char admission_retry[] = "RETRY";
constexpr char admission_status[] = "STATUS";
constexpr char admission_word_separator = ' ';
constexpr char admission_field_separator = '\0';
constexpr std::string_view admission_device_field = "device=";

// The longest request; a buffer one byte larger holds it with a terminator,
// and reading that many bytes tells an over-long request apart.
constexpr std::size_t admission_request_max = 255;

#endif
