#include "platform/wire_recorder.h"

#include <charconv>

namespace {

// HTTP/2 sends no reason phrase; archive readers expect the usual one.
const char* ReasonOf(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 203:
      return "Non-Authoritative Information";
    case 204:
      return "No Content";
    case 206:
      return "Partial Content";
    case 300:
      return "Multiple Choices";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 406:
      return "Not Acceptable";
    case 408:
      return "Request Timeout";
    case 410:
      return "Gone";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "";
  }
}

bool NewerVersion(std::string_view version) {
  return version == "HTTP/2" || version == "HTTP/3";
}

}  // namespace

std::string AsHttp11Request(std::string_view head) {
  const size_t end = head.find("\r\n");
  const std::string_view line = head.substr(0, end);
  const size_t space = line.rfind(' ');
  if (space == std::string_view::npos || !NewerVersion(line.substr(space + 1)))
    return std::string(head);
  return std::string(line.substr(0, space)) + " HTTP/1.1" +
         std::string(end == std::string_view::npos ? "" : head.substr(end));
}

std::string AsHttp11Answer(std::string_view head) {
  const size_t end = head.find("\r\n");
  const std::string_view line = head.substr(0, end);
  const size_t space = line.find(' ');
  if (space == std::string_view::npos || !NewerVersion(line.substr(0, space)))
    return std::string(head);
  std::string_view code = line.substr(space + 1);
  code = code.substr(0, code.find(' '));
  int status = 0;
  std::from_chars(code.data(), code.data() + code.size(), status);
  return "HTTP/1.1 " + std::string(code) + " " + ReasonOf(status) +
         std::string(end == std::string_view::npos ? "" : head.substr(end));
}
