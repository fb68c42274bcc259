#include "browser/host/Framing.h"

#include <cstring>

namespace browserhost {

namespace {

FrameStatus FromStream(platform::StreamResult result) {
  switch (result) {
    case platform::StreamResult::Complete:
    case platform::StreamResult::TooLong:  // ReadExactly never says it
      return FrameStatus::Complete;
    case platform::StreamResult::Ended:
      return FrameStatus::Truncated;
    case platform::StreamResult::TimedOut:
      return FrameStatus::TimedOut;
    case platform::StreamResult::Failed:
      break;
  }
  return FrameStatus::Failed;
}

}  // namespace

FrameStatus ReadFrame(int fd, std::size_t limit, platform::Deadline deadline, std::string& message,
                      std::uint32_t& declared) {
  message.clear();
  declared = 0;
  std::string header;
  const platform::StreamResult headerRead = platform::ReadExactly(fd, sizeof declared, deadline, header);
  if (headerRead == platform::StreamResult::Ended && header.empty()) return FrameStatus::NoMessage;
  if (headerRead != platform::StreamResult::Complete) return FromStream(headerRead);
  std::memcpy(&declared, header.data(), sizeof declared);
  if (declared > limit) return FrameStatus::TooLarge;
  return FromStream(platform::ReadExactly(fd, declared, deadline, message));
}

std::string Frame(std::string_view json) {
  const auto length = static_cast<std::uint32_t>(json.size());
  std::string frame(sizeof length, '\0');
  std::memcpy(frame.data(), &length, sizeof length);
  frame.append(json);
  return frame;
}

}  // namespace browserhost
