#include "transfer/HandoffRecords.h"

#include "platform/Text.h"

namespace transfer {

std::string TextPayload(const std::u16string& text) { return platform::ToUtf16LeBytes(text); }

std::string SizePayload(std::int32_t size) {
  const auto raw = static_cast<std::uint32_t>(size);
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>((raw >> shift) & 0xFFu));
  return bytes;
}

std::vector<HandoffRecord> MakeHandoffRecords(const HandedDownload& download) {
  std::vector<HandoffRecord> records{
      {kRecordUrl, TextPayload(download.url)},
      {kRecordTargetPath, TextPayload(download.targetPath)},
      {kRecordConversionArgs, TextPayload(download.conversionArgs)},
      {kRecordSize, SizePayload(static_cast<std::int32_t>(static_cast<std::uint32_t>(download.size)))},
      {kRecordCookie, TextPayload(download.cookie)},
      {kRecordTempPath, TextPayload(download.tempPath)},
      {kRecordReferer, TextPayload(download.referer)},
  };
  if (download.replaceTarget) {
    records.push_back({kRecordFlags, SizePayload(static_cast<std::int32_t>(kFlagReplaceTarget))});
  }
  records.push_back({kRecordCommit, TextPayload(download.referer)});
  return records;
}

namespace {

std::uint32_t U32(std::string_view payload) {
  std::uint32_t raw = 0;
  for (int i = 3; i >= 0; --i) raw = (raw << 8) | static_cast<unsigned char>(payload[i]);
  return raw;
}

}  // namespace

void ApplyRecord(HandedDownload& download, std::uint32_t kind, std::string_view payload) {
  switch (kind) {
    case kRecordUrl: download.url = platform::FromUtf16LeBytes(payload); break;
    case kRecordTargetPath: download.targetPath = platform::FromUtf16LeBytes(payload); break;
    case kRecordConversionArgs: download.conversionArgs = platform::FromUtf16LeBytes(payload); break;
    case kRecordSize:
      if (payload.size() >= 4) download.size = static_cast<std::int32_t>(U32(payload));
      break;
    case kRecordFlags:
      if (payload.size() >= 4) download.replaceTarget = (U32(payload) & kFlagReplaceTarget) != 0;
      break;
    case kRecordCookie: download.cookie = platform::FromUtf16LeBytes(payload); break;
    case kRecordTempPath: download.tempPath = platform::FromUtf16LeBytes(payload); break;
    case kRecordReferer: download.referer = platform::FromUtf16LeBytes(payload); break;
    default: break;
  }
}

}  // namespace transfer
