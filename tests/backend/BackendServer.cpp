#include "BackendServer.hpp"

#include "BackendUtil.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

namespace tarnwell::testing::detail {

namespace {

constexpr std::size_t maxHeadBytes = 64 * 1024;
constexpr std::size_t readChunk = 64 * 1024;

void addressOf(socket_t sock, bool peer, std::string& ip, int& port) {
  sockaddr_storage addr{};
  socklen_t length = sizeof addr;
  const int rc = peer ? getpeername(sock, reinterpret_cast<sockaddr*>(&addr), &length)
                      : getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &length);
  if (rc != 0 || addr.ss_family != AF_INET) return;
  const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
  ip = text;
  port = ntohs(in->sin_port);
}

// Set by a handler on the thread that serves its connection.
thread_local bool closeInstead = false;
// The connection served on this thread.
thread_local socket_t servedSocket = INVALID_SOCKET;

bool waitReadable(socket_t sock, int timeoutMs) {
  pollfd p{sock, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

// The stream of one request on a connection. It reads the request head first
// and renames its "Range" header, then hands out the renamed head and the
// bytes after it. Bytes it read but the request did not consume (the start of
// a pipelined next request) are left for the next request's stream.
class RenamingStream : public httplib::Stream {
public:
  RenamingStream(socket_t sock, int readTimeoutMs, std::string carried)
      : sock_(sock), timeoutMs_(readTimeoutMs), pending_(std::move(carried)) {}

  bool is_readable() const override { return offset_ < buffer_.size() || waitReadable(sock_, timeoutMs_); }
  bool is_writable() const override {
    pollfd p{sock_, POLLOUT, 0};
    return ::poll(&p, 1, timeoutMs_) > 0;
  }

  ssize_t read(char* ptr, size_t size) override {
    if (!headRead_) readHead();
    if (offset_ >= buffer_.size()) {
      buffer_.clear();
      offset_ = 0;
      if (!waitReadable(sock_, timeoutMs_)) return -1;
      buffer_.resize(readChunk);
      const ssize_t n = ::recv(sock_, buffer_.data(), buffer_.size(), 0);
      if (n <= 0) {
        buffer_.clear();
        return n;
      }
      buffer_.resize(static_cast<std::size_t>(n));
    }
    const std::size_t n = std::min(size, buffer_.size() - offset_);
    std::memcpy(ptr, buffer_.data() + offset_, n);
    offset_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (closeInstead) {
      closeInstead = false;
      ::shutdown(sock_, SHUT_RDWR);
      return -1;
    }
    std::size_t sent = 0;
    while (sent < size) {
      if (!is_writable()) return -1;
      const ssize_t n = ::send(sock_, ptr + sent, size - sent, MSG_NOSIGNAL);
      if (n <= 0) return -1;
      sent += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { addressOf(sock_, true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { addressOf(sock_, false, ip, port); }
  socket_t socket() const override { return sock_; }

  std::string leftover() const { return buffer_.substr(std::min(offset_, buffer_.size())); }

private:
  void readHead() {
    headRead_ = true;
    std::string raw = std::move(pending_);
    std::size_t end = raw.find("\r\n\r\n");
    char chunk[4096];
    while (end == std::string::npos && raw.size() < maxHeadBytes) {
      if (!waitReadable(sock_, timeoutMs_)) break;
      const ssize_t n = ::recv(sock_, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      raw.append(chunk, static_cast<std::size_t>(n));
      end = raw.find("\r\n\r\n");
    }
    if (end == std::string::npos) {
      buffer_ = std::move(raw);  // let the library judge what came
      return;
    }
    std::string head;
    std::size_t lineStart = 0;
    bool requestLine = true;
    while (lineStart < end + 2) {
      const std::size_t lineEnd = raw.find("\r\n", lineStart);
      std::string line = raw.substr(lineStart, lineEnd - lineStart);
      const auto colon = line.find(':');
      if (!requestLine && colon != std::string::npos && iequals(trim(line.substr(0, colon)), "range")) {
        line = std::string(rangeHeaderAlias) + line.substr(colon);
      }
      head += line + "\r\n";
      requestLine = false;
      lineStart = lineEnd + 2;
    }
    head += "\r\n";
    buffer_ = head + raw.substr(end + 4);
  }

  socket_t sock_;
  int timeoutMs_;
  std::string pending_;
  bool headRead_ = false;
  std::string buffer_;
  std::size_t offset_ = 0;
};

}  // namespace

void closeInsteadOfAnswering() { closeInstead = true; }

void keepReceiveBufferSmall() {
  const int bytes = 16 << 10;  // the kernel doubles it
  if (servedSocket != INVALID_SOCKET) ::setsockopt(servedSocket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void ItemRangeServer::widenBacklog() {
  const socket_t sock = svr_sock_;
  if (sock != INVALID_SOCKET) ::listen(sock, SOMAXCONN);
}

bool ItemRangeServer::process_and_close_socket(socket_t sock) {
  // Answers go out in several writes (head, then body); without this the body
  // would wait for the client's delayed acknowledgement of the head.
  const int noDelay = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  servedSocket = sock;
  const int readTimeoutMs = static_cast<int>(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000);
  const auto idleLimit = std::chrono::seconds(keep_alive_timeout_sec_);
  std::string carried;
  bool ok = false;
  for (std::size_t served = 0; served < keep_alive_max_count_; ++served) {
    // Wait for the next request, in short steps so that a stopping server lets go soon.
    const auto idleSince = std::chrono::steady_clock::now();
    bool ready = !carried.empty();
    while (!ready && svr_sock_ != INVALID_SOCKET && std::chrono::steady_clock::now() - idleSince < idleLimit) {
      ready = waitReadable(sock, 10);
    }
    if (!ready || svr_sock_ == INVALID_SOCKET) break;
    closeInstead = false;
    RenamingStream stream(sock, readTimeoutMs, std::move(carried));
    const bool last = served + 1 == keep_alive_max_count_;
    bool connectionClosed = false;
    ok = process_request(stream, last, connectionClosed, nullptr);
    if (!ok || connectionClosed) break;
    carried = stream.leftover();
  }
  servedSocket = INVALID_SOCKET;
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ok;
}

}  // namespace tarnwell::testing::detail
