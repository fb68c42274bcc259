#include "support/Downloads.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/Text.h"

namespace testsupport {

namespace {
using namespace std::chrono_literals;
}

std::string& ServedFilePath() {
  static std::string path;
  return path;
}

void AddDownloadRoutes(LoopbackServer& server) {
  httplib::Server& http = server.Http();
  http.Get(R"(/bytes/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    LoopbackServer::ServePattern(res, std::stoull(req.matches[1]));
  });
  http.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("<html>not here</html>", "text/html");
  });
  http.Get("/hold", [&server](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(1000, "application/octet-stream", [&server](std::size_t, std::size_t, httplib::DataSink&) {
      server.Pause(600s);
      return false;
    });
  });
  http.Get(R"(/partial/(\d+)/(\d+))", [&server](const httplib::Request& req, httplib::Response& res) {
    const std::uint64_t sent = std::stoull(req.matches[2]);
    res.set_content_provider(static_cast<std::size_t>(std::stoull(req.matches[1])), "application/octet-stream",
                             [&server, sent](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               if (offset < sent) {
                                 const std::string piece(static_cast<std::size_t>(sent - offset), '\x2a');
                                 return sink.write(piece.data(), piece.size());
                               }
                               server.Pause(600s);
                               return false;
                             });
  });
  http.Get("/file", [](const httplib::Request&, httplib::Response& res) {
    std::ifstream in(ServedFilePath(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    res.set_content(bytes, "video/x-flv");
  });
}

std::string SystemConverter() { return VEXARO_BUILD_CONVERTER; }

void UseSystemConverter() {
  namespace fs = std::filesystem;
  ::setenv("VEXARO_PROGRAM_FILES_COMMON", fs::path(SystemConverter()).parent_path().parent_path().c_str(), 1);
}

bool MakeClip(const std::string& path, int seconds) {
  const std::string duration = std::to_string(seconds);
  const std::string make = "'" + SystemConverter() + "' -hide_banner -loglevel error -y -f lavfi -i sine=frequency=440:duration=" +
                           duration + " -f lavfi -i color=size=64x64:duration=" + duration + " '" + path + "'";
  return std::system(make.c_str()) == 0;
}

void UseScriptConverter(const std::string& folder, const std::string& body) {
  namespace fs = std::filesystem;
  fs::create_directories(folder + "/Vexaro");
  const std::string path = folder + "/Vexaro/ffmpeg";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << "#!/bin/sh\nfor last; do :; done\n" << body << "\n";
  fs::permissions(path, fs::perms::owner_all);
  ::setenv("VEXARO_PROGRAM_FILES_COMMON", folder.c_str(), 1);
}

}  // namespace testsupport
