// An HTTP/1.1 server on 127.0.0.1 whose every answer the test writes, down to
// the byte where it cuts the connection: for servers that misbehave as real
// ones do (ignore Range, drop connections mid-body, change the file between
// two requests, answer 503 with Retry-After, stall, throttle each connection).
// cpp-httplib answers ranges on its own, so it cannot stand for those.
//
// Calling sequence: construct with a handler, Start(), use Url(), and let the
// destructor (or Stop()) end it. The handler runs on the server's connection
// threads, one per TCP connection, for each request in turn (keep-alive).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct ScriptedRequest {
  std::string method;
  std::string path;
  // Header names in lower case.
  std::map<std::string, std::string> headers;
  // Requests before this one, over all connections.
  int index = 0;
  // The TCP connection it came on (0, 1, 2 ... in order of accepting).
  int connection = 0;
  std::chrono::steady_clock::time_point arrived;

  std::string Header(const std::string& lowerName) const {
    const auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
  }
};

struct ScriptedReply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  // The body is bodyLength bytes of *content from bodyOffset; Content-Length
  // is added unless sendLength is false (the body then ends with the
  // connection).
  std::shared_ptr<const std::string> content;
  std::uint64_t bodyOffset = 0;
  std::uint64_t bodyLength = 0;
  bool sendLength = true;
  // After this many body bytes the connection is closed (a body cut short).
  std::uint64_t cutAfter = UINT64_MAX;
  // After this many body bytes nothing more is sent until the server stops.
  std::uint64_t stallAfter = UINT64_MAX;
  // Body bytes per second on this connection; 0 for as fast as it goes.
  std::uint64_t bytesPerSecond = 0;

  void Header(const std::string& name, const std::string& value) { headers.emplace_back(name, value); }
};

// One version of a file as a server would hold it.
struct ServedFile {
  std::shared_ptr<const std::string> bytes;
  std::string etag;          // sent as given (quotes included); empty: none
  std::string lastModified;  // empty: none
};

// How ServeFile answers.
struct FileBehaviour {
  bool honourRanges = true;       // false: every answer is the whole file (200)
  bool acceptRangesHeader = true;  // "Accept-Ranges: bytes" on every answer
  bool honourIfRange = true;      // false: a 206 even when If-Range names another version
};

class ScriptedServer {
 public:
  using Handler = std::function<ScriptedReply(const ScriptedRequest&)>;

  explicit ScriptedServer(Handler handler);
  ~ScriptedServer();  // Stop()
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  bool Start();
  // Closes the listener and every connection, wakes stalled answers, joins.
  void Stop();

  std::string Url(const std::string& path) const;

  // Every request so far, in order of arrival.
  std::vector<ScriptedRequest> Requests() const;
  // The most answers whose bodies were being sent at one moment.
  int MostBodiesAtOnce() const { return mostBodies_; }

  // A file answered as a server that keeps it would: GET with or without a
  // single range ("bytes=A-B", "bytes=A-"), If-Range against the ETag or the
  // date, 416 for a range that starts beyond the end.
  static ScriptedReply ServeFile(const ScriptedRequest& request, const ServedFile& file,
                                 const FileBehaviour& behaviour = FileBehaviour());
  // A reply with a status and a short text body.
  static ScriptedReply Status(int status, const std::string& text = "");

 private:
  void AcceptLoop();
  void Serve(int fd, int connection);
  bool SendReply(int fd, const ScriptedReply& reply);
  bool Hold();

  Handler handler_;
  int listenFd_ = -1;
  int port_ = 0;
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
  std::vector<int> fds_;
  std::vector<ScriptedRequest> requests_;
  std::atomic<int> bodies_{0};
  std::atomic<int> mostBodies_{0};
};

// A digest of bytes for comparing a downloaded file with the expected one
// without printing either (FNV-1a, 64 bits, as hexadecimal).
std::string Digest(const std::string& bytes);
// `length` bytes that differ per version: a file whose second version must
// never mix with its first.
std::shared_ptr<const std::string> VersionBytes(std::uint64_t length, int version);

}  // namespace testsupport
