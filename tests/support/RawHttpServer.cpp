#include "support/RawHttpServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace testsupport {

RawHttpServer::~RawHttpServer() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) ::close(listener_);
}

bool RawHttpServer::Start() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return false;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread(&RawHttpServer::Serve, this);
  return true;
}

std::string RawHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> RawHttpServer::Heads() {
  std::lock_guard<std::mutex> guard(mutex_);
  return heads_;
}

std::string RawHttpServer::HeaderValue(const std::string& head, const std::string& name) {
  const auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
  };
  const std::string wanted = lower(name) + ":";
  for (std::size_t start = 0; start < head.size();) {
    std::size_t end = head.find("\r\n", start);
    if (end == std::string::npos) end = head.size();
    const std::string line = head.substr(start, end - start);
    if (lower(line.substr(0, wanted.size())) == wanted) {
      std::size_t value = wanted.size();
      while (value < line.size() && line[value] == ' ') ++value;
      return line.substr(value);
    }
    start = end + 2;
  }
  return "(none)";
}

void RawHttpServer::Serve() {
  while (!stopping_) {
    pollfd ready{listener_, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    Answer(connection);
    ::close(connection);
  }
}

void RawHttpServer::Answer(int connection) {
  std::string head;
  char buffer[65536];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < (64u << 20) && !stopping_) {
    pollfd ready{connection, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    const ssize_t got = ::read(connection, buffer, sizeof buffer);
    if (got <= 0) return;
    head.append(buffer, static_cast<std::size_t>(got));
  }
  head.resize(head.find("\r\n\r\n") == std::string::npos ? head.size() : head.find("\r\n\r\n"));
  {
    std::lock_guard<std::mutex> guard(mutex_);
    heads_.push_back(head);
  }
  std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                      std::to_string(length_) + "\r\nConnection: close\r\n\r\n";
  for (std::uint64_t i = 0; i < length_; ++i) reply.push_back(static_cast<char>(i % 251));
  for (std::size_t sent = 0; sent < reply.size() && !stopping_;) {
    const ssize_t wrote = ::send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
    if (wrote <= 0) return;
    sent += static_cast<std::size_t>(wrote);
  }
}

}  // namespace testsupport
