#include "support/LoopbackServer.h"

#include <algorithm>
#include <vector>

namespace testsupport {

namespace {

constexpr std::size_t kPiece = 64 * 1024;
constexpr std::size_t kCycle = LoopbackServer::kPatternCycle;

// kPiece bytes from any offset are a slice of this block, so serving takes no
// per-byte work and the bench measures the client, not the server.
const std::vector<char>& PatternBlock() {
  static const std::vector<char> block = [] {
    std::vector<char> bytes(kPiece + kCycle);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = LoopbackServer::PatternByte(i);
    return bytes;
  }();
  return block;
}

}  // namespace

LoopbackServer::~LoopbackServer() { Stop(); }

bool LoopbackServer::Start() {
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) return false;
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // stop() is a no-op until the listener runs, so wait for it to come up.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_.is_running()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void LoopbackServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    server_.stop();
    thread_.join();
  }
}

std::string LoopbackServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

bool LoopbackServer::Pause(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, duration, [this] { return stopping_; });
}

void LoopbackServer::ServePattern(httplib::Response& res, std::uint64_t length, std::uint64_t cutAt) {
  res.set_content_provider(
      static_cast<std::size_t>(length), "application/octet-stream",
      [cutAt](std::size_t offset, std::size_t remaining, httplib::DataSink& sink) {
        if (offset >= cutAt) return false;  // closes the connection mid-body
        const std::size_t piece = std::min<std::uint64_t>({kPiece, remaining, cutAt - offset});
        return sink.write(PatternBlock().data() + offset % kCycle, piece);
      });
}

}  // namespace testsupport
