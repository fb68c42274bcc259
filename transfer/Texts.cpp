#include "transfer/Texts.h"

#include "localisation/Dictionary.h"
#include "platform/Text.h"

namespace transfer {

std::u16string LookupText(localisation::Dictionary* dictionary, const std::u16string& key) {
  return dictionary ? dictionary->Lookup(key) : key;
}

std::u16string LookupText(localisation::Dictionary* dictionary, const std::u16string& key,
                          const std::u16string& english) {
  return dictionary ? dictionary->Lookup(key, english) : key;
}

std::u16string ErrorCodeText(std::uint32_t code) { return platform::Format("Error: %u (0x%8.8x)", code, code); }

namespace {

struct ReasonKey {
  FailureReason reason;
  const char16_t* key;
  const char16_t* english;
};

constexpr ReasonKey kReasonKeys[] = {
    {FailureReason::ServerNotFound, u"MANAGER_REASON_SERVER_NOT_FOUND", u"server not found"},
    {FailureReason::ConnectionRefused, u"MANAGER_REASON_CONNECTION_REFUSED", u"connection refused"},
    {FailureReason::ConnectionLost, u"MANAGER_REASON_CONNECTION_LOST", u"connection lost"},
    {FailureReason::TimedOut, u"MANAGER_REASON_TIMED_OUT", u"no data from the server for too long"},
    {FailureReason::TooManyRedirects, u"MANAGER_REASON_TOO_MANY_REDIRECTS", u"too many redirects"},
    {FailureReason::SecureConnection, u"MANAGER_REASON_SECURE_CONNECTION", u"secure connection failed"},
    {FailureReason::BadAddress, u"MANAGER_REASON_BAD_ADDRESS", u"address not supported"},
    {FailureReason::CannotCreateFile, u"MANAGER_REASON_CANNOT_CREATE_FILE", u"the file cannot be created"},
    {FailureReason::DiskFull, u"MANAGER_REASON_DISK_FULL", u"disk full"},
    {FailureReason::WriteFailed, u"MANAGER_REASON_WRITE_FAILED", u"the file cannot be written"},
    {FailureReason::ConverterFailed, u"MANAGER_REASON_CONVERTER_FAILED", u"converter failed"},
    {FailureReason::ConverterWroteNothing, u"MANAGER_REASON_CONVERTER_WROTE_NOTHING", u"the converter wrote nothing"},
};

// Codes the transfer worker gives; kept here as numbers so that texts need
// not know the worker.
constexpr std::uint32_t kHttpStatusBase = 0x80190000u;
constexpr std::uint32_t kDownloadFailure = 0x800C0008u;
constexpr std::uint32_t kConnectionTimeout = 0x800C000Bu;
constexpr std::uint32_t kRedirectFailed = 0x800C0014u;
constexpr std::uint32_t kDiskFull = 0x80070070u;
constexpr std::uint32_t kWriteFault = 0x8007001Du;

}  // namespace

ReasonTexts LookupReasonTexts(localisation::Dictionary* dictionary) {
  ReasonTexts texts;
  for (const ReasonKey& entry : kReasonKeys) {
    texts.words[static_cast<int>(entry.reason)] = dictionary ? dictionary->Lookup(entry.key, entry.english) : entry.english;
  }
  return texts;
}

Failure FailureOfCode(std::uint32_t code) {
  Failure failure{code, FailureReason::Unknown, 0};
  if (code > kHttpStatusBase && code <= kHttpStatusBase + 999) {
    failure.reason = FailureReason::HttpStatus;
    failure.detail = code - kHttpStatusBase;
  } else if (code == kDownloadFailure) {
    failure.reason = FailureReason::ConnectionLost;
  } else if (code == kConnectionTimeout) {
    failure.reason = FailureReason::TimedOut;
  } else if (code == kRedirectFailed) {
    failure.reason = FailureReason::TooManyRedirects;
  } else if (code == kDiskFull) {
    failure.reason = FailureReason::DiskFull;
  } else if (code == kWriteFault) {
    failure.reason = FailureReason::WriteFailed;
  }
  return failure;
}

std::u16string FailureText(const Failure& failure, const ReasonTexts& texts) {
  const std::u16string code = ErrorCodeText(failure.code);
  switch (failure.reason) {
    case FailureReason::Unknown:
      return code;
    case FailureReason::HttpStatus: {
      const char* phrase = HttpReasonPhrase(failure.detail);
      return code + (*phrase ? platform::Format(", HTTP %u %s", failure.detail, phrase)
                             : platform::Format(", HTTP %u", failure.detail));
    }
    case FailureReason::ConverterFailed:
      return code + u", " + texts.words[static_cast<int>(failure.reason)] +
             platform::Format(" (exit %u)", failure.detail);
    default:
      return code + u", " + texts.words[static_cast<int>(failure.reason)];
  }
}

const char* HttpReasonPhrase(std::uint32_t status) {
  switch (status) {
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 421: return "Misdirected Request";
    case 422: return "Unprocessable Content";
    case 425: return "Too Early";
    case 426: return "Upgrade Required";
    case 428: return "Precondition Required";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 451: return "Unavailable For Legal Reasons";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    case 507: return "Insufficient Storage";
    case 508: return "Loop Detected";
    case 511: return "Network Authentication Required";
    default: return "";
  }
}

SizeUnit UnitFor(std::uint64_t amount) {
  if (amount > kBytesPerMb) return {kBytesPerMb, "Mb"};
  if (amount > kBytesPerKb) return {kBytesPerKb, "Kb"};
  return {1, "bytes"};
}

}  // namespace transfer
