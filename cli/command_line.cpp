#include "cli/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace {

// Seconds as a positive decimal number, into milliseconds.
bool ParseSeconds(const std::string& text, long& milliseconds) {
  if (text.empty())
    return false;
  errno = 0;
  char* end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(seconds > 0) || seconds > 86400.0 * 365)
    return false;
  milliseconds = std::max(1L, std::lround(seconds * 1000));
  return true;
}

}  // namespace

std::string UsageText() {
  return "Usage: kelvane-cli [OPTIONS] URL\n"
         "Copies the site at URL into a local directory: the page, then every picture, page and\n"
         "frame of the same site that it refers to, in the site's own directory structure.\n"
         "A second run into the same directory fetches only what is missing.\n"
         "\n"
         "Options:\n"
         "  --save-to DIR            save under DIR (default: the current directory)\n"
         "  --verbose                write every step to DIR/Kelvane.log\n"
         "  --quiet                  print no progress and no summary\n"
         "  --connect-timeout S      give up a connection after S seconds (default 30)\n"
         "  --stall-timeout S        give up a transfer silent for S seconds (default 60)\n"
         "  --ca-certificate FILE    trust this certificate authority as well\n"
         "  --help                   show this help and exit\n"
         "  --version                show the version and exit\n"
         "\n"
         "Exit status: 0 completed; 1 a file could not be obtained; 2 bad arguments; 4 a network\n"
         "failure cancelled the crawl or broke a transfer; 8 some files were not saved (an HTTP\n"
         "error status, a file larger than 4 MiB, a failed write, a path outside the save-to\n"
         "directory); 130 stopped by Ctrl-C or SIGTERM. Where several apply, the lowest\n"
         "non-zero one wins, 1 aside.\n";
}

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments,
                                            std::string& error) {
  CommandLine line;
  bool haveUrl = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    std::string name = argument;
    std::optional<std::string> inlineValue;
    if (argument.starts_with("--")) {
      size_t equals = argument.find('=');
      if (equals != std::string::npos) {
        name = argument.substr(0, equals);
        inlineValue = argument.substr(equals + 1);
      }
    }
    auto value = [&](std::string& out) {
      if (inlineValue) {
        out = *inlineValue;
        return true;
      }
      if (i + 1 >= arguments.size()) {
        error = "option " + name + " needs a value";
        return false;
      }
      out = arguments[++i];
      return true;
    };
    auto flag = [&](bool& out) {
      if (inlineValue) {
        error = "option " + name + " takes no value";
        return false;
      }
      out = true;
      return true;
    };
    std::string text;
    if (name == "--save-to") {
      if (!value(line.saveTo))
        return std::nullopt;
      if (line.saveTo.empty()) {
        error = "--save-to needs a directory";
        return std::nullopt;
      }
    } else if (name == "--verbose") {
      if (!flag(line.verbose))
        return std::nullopt;
    } else if (name == "--quiet") {
      if (!flag(line.quiet))
        return std::nullopt;
    } else if (name == "--help" || name == "-h") {
      if (!flag(line.help))
        return std::nullopt;
    } else if (name == "--version") {
      if (!flag(line.version))
        return std::nullopt;
    } else if (name == "--connect-timeout" || name == "--stall-timeout") {
      if (!value(text))
        return std::nullopt;
      long& target = name == "--connect-timeout" ? line.connectTimeoutMs : line.stallTimeoutMs;
      if (!ParseSeconds(text, target)) {
        error = "option " + name + " needs a number of seconds above 0, not '" + text + "'";
        return std::nullopt;
      }
    } else if (name == "--ca-certificate") {
      if (!value(line.caCertificate))
        return std::nullopt;
    } else if (name == "--") {
      if (i + 1 < arguments.size() && !haveUrl) {
        line.url = arguments[++i];
        haveUrl = true;
      }
      if (i + 1 < arguments.size()) {
        error = "only one URL may be given";
        return std::nullopt;
      }
    } else if (argument.size() > 1 && argument[0] == '-') {
      error = "unknown option " + name;
      return std::nullopt;
    } else if (haveUrl) {
      error = "only one URL may be given";
      return std::nullopt;
    } else {
      line.url = argument;
      haveUrl = true;
    }
  }
  if (!haveUrl && !line.help && !line.version) {
    error = "no URL given";
    return std::nullopt;
  }
  return line;
}

std::string NormalSaveTo(const std::string& typed) {
  namespace fs = std::filesystem;
  std::error_code failure;
  fs::path path = typed.empty() ? fs::current_path(failure) : fs::path(typed);
  if (path.is_relative())
    path = fs::current_path(failure) / path;
  std::string normal = path.lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/')
    normal.pop_back();
  return normal;
}
