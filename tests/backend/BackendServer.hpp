// The HTTP server under the emulator: cpp-httplib's Server with its own
// connection loop (keep-alive, quick to let go when the server stops).
//
// cpp-httplib reads a "Range" request header as a byte range and answers 416
// to anything but "bytes=...". The REST interface uses "Range: 0-0" with
// "Range-Unit: items", so the header is renamed to rangeHeaderAlias before
// the library parses the request; handlers read it under that name.
#pragma once

#include <httplib.h>

namespace tarnwell::testing::detail {

inline constexpr const char* rangeHeaderAlias = "X-Item-Range";

// Called from a handler: the connection it runs on is closed where the answer
// would go out, so the client gets not one byte of it.
void closeInsteadOfAnswering();

// Called from a handler before it reads the body: the connection's kernel
// buffer holds little of what the client sends, so what the client sees
// acknowledged follows what the handler has read, as with a server that reads
// its requests as they come.
void keepReceiveBufferSmall();

class ItemRangeServer : public httplib::Server {
public:
  // The library listens with a backlog of 5; bursts of parallel clients would
  // then see dropped connection attempts (retried by TCP a second later).
  // Call after binding.
  void widenBacklog();

private:
  bool process_and_close_socket(socket_t sock) override;
};

}  // namespace tarnwell::testing::detail
