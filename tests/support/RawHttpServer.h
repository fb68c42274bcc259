// A bare HTTP server on 127.0.0.1 for requests the test server refuses: it
// takes request heads of any length (cpp-httplib stops at 8 KiB per header
// line, as many servers do, while browsers send cookies far longer), keeps
// each head, and answers every request with the same number of pattern bytes
// (LoopbackServer::PatternByte) and closes the connection.
//
// Calling sequence: Start(), use Url(), Heads(); the destructor stops it.
// Serves on a thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class RawHttpServer {
 public:
  explicit RawHttpServer(std::uint64_t length) : length_(length) {}
  ~RawHttpServer();
  RawHttpServer(const RawHttpServer&) = delete;
  RawHttpServer& operator=(const RawHttpServer&) = delete;

  bool Start();
  std::string Url(const std::string& path) const;
  // The heads received so far (request line and headers), in order.
  std::vector<std::string> Heads();
  // The value of header name (case-insensitive) in head, or "(none)".
  static std::string HeaderValue(const std::string& head, const std::string& name);

 private:
  void Serve();
  void Answer(int connection);

  std::uint64_t length_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> heads_;
};

}  // namespace testsupport
