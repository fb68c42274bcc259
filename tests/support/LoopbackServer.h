// A small HTTP server on 127.0.0.1 with an ephemeral port, for the transfer
// tests and the transfer bench.
//
// Calling sequence: register handlers on Http(), Start(), use Url(), and let
// the destructor (or Stop()) end it. Handlers run on the server's threads; a
// handler that must hold its response back waits with Pause(), which returns
// early once the server stops, so stopping never hangs on it.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace testsupport {

class LoopbackServer {
 public:
  LoopbackServer() = default;
  ~LoopbackServer();  // Stop()
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  httplib::Server& Http() { return server_; }

  // Binds 127.0.0.1 on a free port and serves on a thread of its own until
  // Stop(). False when it cannot bind or does not come up.
  bool Start();
  // Wakes pausing handlers, stops serving and joins. Idempotent.
  void Stop();

  int Port() const { return port_; }
  // "http://127.0.0.1:<port>" + path (path starts with '/').
  std::string Url(const std::string& path) const;

  // Waits up to duration; false when it returned early because of Stop().
  bool Pause(std::chrono::milliseconds duration);

  // Byte `offset` of the generated bodies below: a 251-byte cycle, so a
  // misplaced or repeated chunk shows in the file.
  static constexpr std::uint64_t kPatternCycle = 251;
  static char PatternByte(std::uint64_t offset) { return static_cast<char>(offset % kPatternCycle); }
  // Makes res send `length` pattern bytes with that Content-Length, produced
  // piece by piece, so even huge bodies take no memory. When cutAt < length the
  // connection is closed after cutAt bytes (a body short of its length).
  static void ServePattern(httplib::Response& res, std::uint64_t length, std::uint64_t cutAt = UINT64_MAX);

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

}  // namespace testsupport
