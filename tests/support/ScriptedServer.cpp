#include "support/ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kPiece = 16 * 1024;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  const auto last = text.find_last_not_of(" \t\r");
  return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 416: return "Range Not Satisfiable";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

bool SendAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// "bytes=A-B" or "bytes=A-" (one range; B beyond the end is cut to it).
bool ParseRange(const std::string& value, std::uint64_t& first, std::uint64_t& last) {
  const std::string unit = "bytes=";
  if (value.compare(0, unit.size(), unit) != 0 || value.find(',') != std::string::npos) return false;
  const std::string bounds = value.substr(unit.size());
  const auto dash = bounds.find('-');
  if (dash == std::string::npos || dash == 0) return false;
  try {
    first = std::stoull(bounds.substr(0, dash));
    last = dash + 1 < bounds.size() ? std::stoull(bounds.substr(dash + 1)) : UINT64_MAX;
  } catch (...) {
    return false;
  }
  return last >= first;
}

}  // namespace

ScriptedServer::ScriptedServer(Handler handler) : handler_(std::move(handler)) {}

ScriptedServer::~ScriptedServer() { Stop(); }

bool ScriptedServer::Start() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return false;
  const int on = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void ScriptedServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    for (const int fd : fds_) ::shutdown(fd, SHUT_RDWR);
  }
  wake_.notify_all();
  if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
  if (acceptThread_.joinable()) acceptThread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
  // No new thread can start now: the accept loop has ended.
  for (std::thread& thread : threads_) thread.join();
  for (const int fd : fds_) ::close(fd);
  fds_.clear();
}

std::string ScriptedServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<ScriptedRequest> ScriptedServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void ScriptedServer::AcceptLoop() {
  for (int connection = 0;; ++connection) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    fds_.push_back(fd);
    threads_.emplace_back([this, fd, connection] { Serve(fd, connection); });
  }
}

void ScriptedServer::Serve(int fd, int connection) {
  std::string buffer;
  char chunk[4096];
  for (;;) {
    std::size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::shutdown(fd, SHUT_RDWR);
        return;  // the fd stays open until Stop, so its number is never reused under it
      }
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
    ScriptedRequest request;
    request.connection = connection;
    request.arrived = Clock::now();
    const std::string head = buffer.substr(0, end);
    buffer.erase(0, end + 4);
    std::size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto space = requestLine.find(' ');
    request.method = requestLine.substr(0, space);
    request.path = requestLine.substr(space + 1, requestLine.rfind(' ') - space - 1);
    while (lineEnd != std::string::npos) {
      const std::size_t next = head.find("\r\n", lineEnd + 2);
      const std::string line = head.substr(lineEnd + 2, next == std::string::npos ? std::string::npos : next - lineEnd - 2);
      const auto colon = line.find(':');
      if (colon != std::string::npos) request.headers[Lower(Trim(line.substr(0, colon)))] = Trim(line.substr(colon + 1));
      lineEnd = next;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request.index = static_cast<int>(requests_.size());
      requests_.push_back(request);
    }
    const ScriptedReply reply = handler_(request);
    const bool whole = SendReply(fd, reply);
    if (!whole || !reply.sendLength || Lower(request.Header("connection")) == "close") {
      ::shutdown(fd, SHUT_RDWR);
      return;
    }
  }
}

bool ScriptedServer::Hold() {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return stopping_; });
  return false;
}

bool ScriptedServer::SendReply(int fd, const ScriptedReply& reply) {
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) + "\r\n";
  for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
  if (reply.sendLength) head += "Content-Length: " + std::to_string(reply.bodyLength) + "\r\n";
  else head += "Connection: close\r\n";
  head += "\r\n";
  if (!SendAll(fd, head.data(), head.size())) return false;

  const int now = ++bodies_;
  for (int most = mostBodies_; now > most && !mostBodies_.compare_exchange_weak(most, now);) {
  }
  const Clock::time_point start = Clock::now();
  std::uint64_t sent = 0;
  bool whole = true;
  while (sent < reply.bodyLength) {
    if (sent >= reply.cutAfter) {
      whole = false;
      break;
    }
    if (sent >= reply.stallAfter) {
      whole = Hold();
      break;
    }
    const std::uint64_t limit = std::min({reply.bodyLength, reply.cutAfter, reply.stallAfter});
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, limit - sent));
    if (reply.bytesPerSecond > 0) {
      // Sends the piece once the rate allows it, waking early for Stop.
      const auto due = start + std::chrono::microseconds(sent * 1000000 / reply.bytesPerSecond);
      std::unique_lock<std::mutex> lock(mutex_);
      if (wake_.wait_until(lock, due, [this] { return stopping_; })) {
        whole = false;
        break;
      }
    }
    if (!SendAll(fd, reply.content->data() + reply.bodyOffset + sent, piece)) {
      whole = false;
      break;
    }
    sent += piece;
  }
  --bodies_;
  return whole;
}

ScriptedReply ScriptedServer::ServeFile(const ScriptedRequest& request, const ServedFile& file,
                                        const FileBehaviour& behaviour) {
  const std::uint64_t size = file.bytes->size();
  ScriptedReply reply;
  reply.content = file.bytes;
  if (!file.etag.empty()) reply.Header("ETag", file.etag);
  if (!file.lastModified.empty()) reply.Header("Last-Modified", file.lastModified);
  if (behaviour.acceptRangesHeader) reply.Header("Accept-Ranges", "bytes");
  reply.bodyLength = size;

  std::uint64_t first = 0;
  std::uint64_t last = 0;
  if (!behaviour.honourRanges || !ParseRange(request.Header("range"), first, last)) return reply;
  const std::string ifRange = request.Header("if-range");
  if (behaviour.honourIfRange && !ifRange.empty() && ifRange != file.etag && ifRange != file.lastModified) {
    return reply;
  }
  if (first >= size) {
    reply.status = 416;
    reply.Header("Content-Range", "bytes */" + std::to_string(size));
    reply.bodyLength = 0;
    return reply;
  }
  last = std::min(last, size - 1);
  reply.status = 206;
  reply.Header("Content-Range",
               "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size));
  reply.bodyOffset = first;
  reply.bodyLength = last - first + 1;
  return reply;
}

ScriptedReply ScriptedServer::Status(int status, const std::string& text) {
  ScriptedReply reply;
  reply.status = status;
  reply.content = std::make_shared<const std::string>(text);
  reply.bodyLength = text.size();
  reply.Header("Content-Type", "text/plain");
  return reply;
}

std::string Digest(const std::string& bytes) {
  std::uint64_t hash = 1469598103934665603ull;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return std::string(text) + "/" + std::to_string(bytes.size());
}

std::shared_ptr<const std::string> VersionBytes(std::uint64_t length, int version) {
  auto bytes = std::make_shared<std::string>(length, '\0');
  // A 251-byte cycle shifted per version, with the version's number mixed in,
  // so a byte in the wrong place or from the wrong version shows.
  for (std::uint64_t i = 0; i < length; ++i) {
    (*bytes)[i] = static_cast<char>((i + static_cast<std::uint64_t>(version) * 97) % 251 ^ (version * 0x5A));
  }
  return bytes;
}

}  // namespace testsupport
