#include "cli/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include <unistd.h>
#include <utility>

#include "crawl/scope_rules.h"

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

bool Seconds(const std::string& name, const std::string& text, long& target, std::string& error) {
  if (ParseSeconds(text, target))
    return true;
  error = "option " + name + " needs a number of seconds above 0, not '" + text + "'";
  return false;
}

// Seconds of zero or more, into milliseconds.
bool ParseWait(const std::string& text, long& milliseconds) {
  if (text == "0") {
    milliseconds = 0;
    return true;
  }
  return ParseSeconds(text, milliseconds);
}

// A byte count with an optional k (1,024) or M (1,048,576) suffix, above 0.
bool ParseRate(const std::string& text, long long& bytes) {
  if (text.empty())
    return false;
  double scale = 1;
  std::string number = text;
  if (number.back() == 'k' || number.back() == 'K' || number.back() == 'm' ||
      number.back() == 'M') {
    scale = (number.back() == 'k' || number.back() == 'K') ? 1024.0 : 1048576.0;
    number.pop_back();
  }
  errno = 0;
  char* end = nullptr;
  double value = std::strtod(number.c_str(), &end);
  if (number.empty() || errno != 0 || *end != '\0' || !(value > 0) || value * scale > 1e15)
    return false;
  bytes = std::max(1LL, std::llround(value * scale));
  return true;
}

// Comma-separated items, each added to the list; false when there is none.
bool AddItems(const std::string& name, const std::string& text, std::vector<std::string>& items,
              std::string& error) {
  size_t before = items.size();
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos)
      comma = text.size();
    if (comma > start)
      items.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  if (items.size() > before)
    return true;
  error = "option " + name + " needs a list, not '" + text + "'";
  return false;
}

bool Expression(const std::string& name, const std::string& text, std::string& target,
                std::string& error) {
  if (std::optional<std::string> why = RegexError(text)) {
    error = "option " + name + " needs a regular expression: " + *why;
    return false;
  }
  target = text;
  return true;
}

// Column of the help texts in --help.
constexpr size_t kHelpColumn = 27;

// Where the copy goes, how the crawl talks, and what becomes of the copy.
std::vector<CliOption> CopyOptions() {
  using L = CommandLine;
  return {
      {"--save-to", "", "DIR", "save under DIR (default: the current directory)",
       ValueKind::Directory,
       [](L& l, const std::string& v, std::string& error) {
         l.saveTo = v;
         if (v.empty())
           error = "--save-to needs a directory";
         return !v.empty();
       }},
      {"--verbose", "", "", "write every step to DIR/Kelvane.log", ValueKind::None,
       [](L& l, const std::string&, std::string&) { return l.verbose = true; }},
      {"--quiet", "", "", "print no progress and no summary", ValueKind::None,
       [](L& l, const std::string&, std::string&) { return l.quiet = true; }},
      {"--connect-timeout", "", "S", "give up a connection after S seconds (default 30)",
       ValueKind::Number,
       [](L& l, const std::string& v, std::string& error) {
         return Seconds("--connect-timeout", v, l.connectTimeoutMs, error);
       }},
      {"--stall-timeout", "", "S", "give up a transfer silent for S seconds (default 60)",
       ValueKind::Number,
       [](L& l, const std::string& v, std::string& error) {
         return Seconds("--stall-timeout", v, l.stallTimeoutMs, error);
       }},
      {"--ca-certificate", "", "FILE", "trust this certificate authority as well", ValueKind::File,
       [](L& l, const std::string& v, std::string&) {
         l.caCertificate = v;
         return true;
       }},
      {"--jobs", "", "N", "transfer up to N files at once, 1 to 64 (default 1)", ValueKind::Number,
       [](L& l, const std::string& v, std::string& error) {
         char* end = nullptr;
         long n = std::strtol(v.c_str(), &end, 10);
         if (v.empty() || *end != '\0' || n < 1 || n > 64) {
           error = "option --jobs needs a number from 1 to 64, not '" + v + "'";
           return false;
         }
         l.jobs = static_cast<int>(n);
         return true;
       }},
      {"--wait", "", "S", "wait S seconds between two requests to a server", ValueKind::Number,
       [](L& l, const std::string& v, std::string& error) {
         if (ParseWait(v, l.waitMs))
           return true;
         error = "option --wait needs a number of seconds, not '" + v + "'";
         return false;
       }},
      {"--limit-rate", "", "BYTES", "receive at most BYTES a second, k and M allowed",
       ValueKind::Number,
       [](L& l, const std::string& v, std::string& error) {
         if (ParseRate(v, l.limitRate))
           return true;
         error = "option --limit-rate needs a number of bytes above 0, not '" + v + "'";
         return false;
       }},
      {"--page-requisites", "-p", "", "also fetch what pages need: stylesheets, scripts, media",
       ValueKind::None,
       [](L& l, const std::string&, std::string&) { return l.pageRequisites = true; }},
      {"--convert-links", "-k", "", "once done, make links in the copy work from disk",
       ValueKind::None,
       [](L& l, const std::string&, std::string&) { return l.convertLinks = true; }},
      {"--adjust-extension", "-E", "", "name pages .html and stylesheets .css", ValueKind::None,
       [](L& l, const std::string&, std::string&) { return l.adjustExtension = true; }},
      {"--update", "-N", "", "ask for earlier copies again; replace those that changed",
       ValueKind::None, [](L& l, const std::string&, std::string&) { return l.update = true; }},
  };
}

// What the crawl takes: depth, names, directories, servers, robots.txt.
std::vector<CliOption> ScopeOptions() {
  using L = CommandLine;
  return {
      {"--level", "-l", "N", "follow links at most N deep from the start (inf or 0: no limit)",
       ValueKind::Number,
       [](L& l, const std::string& v, std::string& error) {
         char* end = nullptr;
         const long n = v == "inf" ? 0 : std::strtol(v.c_str(), &end, 10);
         if (v != "inf" && (v.empty() || *end != '\0' || n < 0 || n > 1000000)) {
           error = "option --level needs a number of links or inf, not '" + v + "'";
           return false;
         }
         l.level = static_cast<int>(n);
         return true;
       }},
      {"--accept", "-A", "LIST", "take only files whose names end so or match these patterns",
       ValueKind::Text,
       [](L& l, const std::string& v, std::string& error) {
         return AddItems("--accept", v, l.accept, error);
       }},
      {"--reject", "-R", "LIST", "leave out files whose names end so or match these patterns",
       ValueKind::Text,
       [](L& l, const std::string& v, std::string& error) {
         return AddItems("--reject", v, l.reject, error);
       }},
      {"--accept-regex", "", "REGEX", "take only addresses that match REGEX", ValueKind::Text,
       [](L& l, const std::string& v, std::string& error) {
         return Expression("--accept-regex", v, l.acceptRegex, error);
       }},
      {"--reject-regex", "", "REGEX", "leave out addresses that match REGEX", ValueKind::Text,
       [](L& l, const std::string& v, std::string& error) {
         return Expression("--reject-regex", v, l.rejectRegex, error);
       }},
      {"--include-directories", "-I", "LIST", "take only files in these directories",
       ValueKind::Text,
       [](L& l, const std::string& v, std::string& error) {
         return AddItems("--include-directories", v, l.includeDirectories, error);
       }},
      {"--exclude-directories", "-X", "LIST", "leave out files in these directories",
       ValueKind::Text,
       [](L& l, const std::string& v, std::string& error) {
         return AddItems("--exclude-directories", v, l.excludeDirectories, error);
       }},
      {"--span-hosts", "-H", "", "with -p, fetch what pages need from other servers too",
       ValueKind::None, [](L& l, const std::string&, std::string&) { return l.spanHosts = true; }},
      {"--domains", "-D", "LIST", "with -H, follow pages on these domains as well", ValueKind::Text,
       [](L& l, const std::string& v, std::string& error) {
         return AddItems("--domains", v, l.domains, error);
       }},
      {"--exclude-domains", "", "LIST", "with -H, never contact these domains", ValueKind::Text,
       [](L& l, const std::string& v, std::string& error) {
         return AddItems("--exclude-domains", v, l.excludeDomains, error);
       }},
      {"--robots", "", "", "obey each server's robots.txt (for sites not your own)",
       ValueKind::None, [](L& l, const std::string&, std::string&) { return l.robots = true; }},
  };
}

// Who the crawl says it is, and how much it takes.
std::vector<CliOption> IdentityOptions() {
  using L = CommandLine;
  return {
      {"--user-agent", "-U", "TEXT", "name the program so in every request", ValueKind::Text,
       [](L& l, const std::string& v, std::string& error) {
         if (v.find_first_of("\r\n") != std::string::npos) {
           error = "option --user-agent needs one line of text";
           return false;
         }
         l.userAgent = v;
         return true;
       }},
      {"--load-cookies", "", "FILE", "start from the cookies of FILE (Netscape format)",
       ValueKind::File,
       [](L& l, const std::string& v, std::string& error) {
         if (access(v.c_str(), R_OK) != 0) {
           error = "option --load-cookies cannot read '" + v + "'";
           return false;
         }
         l.loadCookies = v;
         return true;
       }},
      {"--save-cookies", "", "FILE", "write the cookies to FILE once done", ValueKind::File,
       [](L& l, const std::string& v, std::string& error) {
         l.saveCookies = v;
         if (v.empty())
           error = "option --save-cookies needs a file";
         return !v.empty();
       }},
      {"--user", "", "NAME", "log in to the start address's server as NAME", ValueKind::Text,
       [](L& l, const std::string& v, std::string&) {
         l.user = v;
         return true;
       }},
      {"--password", "", "TEXT", "with --user: the password (never shown)", ValueKind::Text,
       [](L& l, const std::string& v, std::string&) {
         l.password = v;
         return true;
       }},
      {"--netrc", "", "", "take the login from ~/.netrc where none is given", ValueKind::None,
       [](L& l, const std::string&, std::string&) { return l.netrc = true; }},
      {"--quota", "", "BYTES", "fetch no new file once BYTES are stored, k and M allowed",
       ValueKind::Number,
       [](L& l, const std::string& v, std::string& error) {
         if (ParseRate(v, l.quota))
           return true;
         error = "option --quota needs a number of bytes above 0, not '" + v + "'";
         return false;
       }},
      {"--max-file-size", "", "BYTES", "save no file larger than BYTES, k and M allowed",
       ValueKind::Number,
       [](L& l, const std::string& v, std::string& error) {
         if (ParseRate(v, l.maxFileSize))
           return true;
         error = "option --max-file-size needs a number of bytes above 0, not '" + v + "'";
         return false;
       }},
      {"--header", "", "LINE", "send this header line (\"Name: value\") with every request",
       ValueKind::Text,
       [](L& l, const std::string& v, std::string& error) {
         const size_t colon = v.find(':');
         if (colon == std::string::npos || colon == 0 ||
             v.find_first_of("\r\n") != std::string::npos ||
             v.substr(0, colon).find_first_of(" \t") != std::string::npos) {
           error = "option --header needs one line \"Name: value\", not '" + v + "'";
           return false;
         }
         l.headers.push_back(v);
         return true;
       }},
  };
}

}  // namespace

const std::vector<CliOption>& CliOptions() {
  using L = CommandLine;
  static const std::vector<CliOption> options = [] {
    std::vector<CliOption> all = CopyOptions();
    for (auto group : {ScopeOptions(), IdentityOptions()})
      all.insert(all.end(), group.begin(), group.end());
    all.insert(all.end(),
               {
                   {"--help", "-h", "", "show this help and exit", ValueKind::None,
                    [](L& l, const std::string&, std::string&) { return l.help = true; }},
                   {"--version", "", "", "show the version and exit", ValueKind::None,
                    [](L& l, const std::string&, std::string&) { return l.version = true; }},
               });
    return all;
  }();
  return options;
}

std::string UsageText() {
  std::string text =
      "Usage: kelvane-cli [OPTIONS] URL\n"
      "Copies the site at URL into a local directory: the page, then every picture, page and\n"
      "frame of the same site that it refers to, in the site's own directory structure.\n"
      "A second run into the same directory fetches only what is missing (with --update, also\n"
      "what changed).\n"
      "\n"
      "Options:\n";
  for (const CliOption& option : CliOptions()) {
    std::string left = "  " + std::string(option.name);
    if (!option.value.empty())
      left += " " + std::string(option.value);
    left.resize(std::max(left.size() + 1, kHelpColumn), ' ');
    text += left + std::string(option.help) + "\n";
  }
  text +=
      "\n"
      "Exit status: 0 completed; 1 a file could not be obtained; 2 bad arguments; 4 a network\n"
      "failure cancelled the crawl or broke a transfer; 8 some files were not saved (an HTTP\n"
      "error status, a file larger than 4 MiB, a failed write, a path outside the save-to\n"
      "directory, a redirect the crawl does not follow); 130 stopped by Ctrl-C or SIGTERM.\n"
      "Where several apply, the lowest non-zero one wins, 1 aside.\n";
  return text;
}

namespace {

// Takes the option at arguments[i], with its value, into the line; i moves past what it took.
bool TakeOption(const std::vector<std::string>& arguments, size_t& i, CommandLine& line,
                std::string& error) {
  const std::string& argument = arguments[i];
  std::string name = argument;
  std::optional<std::string> inlineValue;
  size_t equals = argument.find('=');
  if (argument.starts_with("--") && equals != std::string::npos) {
    name = argument.substr(0, equals);
    inlineValue = argument.substr(equals + 1);
  }
  const CliOption* option = FindCliOption(name);
  if (option == nullptr) {
    error = "unknown option " + name;
    return false;
  }
  if (option->value.empty() && inlineValue) {
    error = "option " + name + " takes no value";
    return false;
  }
  std::string value;
  if (!option->value.empty()) {
    if (!inlineValue && i + 1 >= arguments.size()) {
      error = "option " + name + " needs a value";
      return false;
    }
    value = inlineValue ? *inlineValue : arguments[++i];
  }
  return option->apply(line, value, error);
}

// Several one-letter switches written as one argument: "-pkE" is "-p -k -E".
bool TakeSwitches(const std::string& argument, CommandLine& line, std::string& error) {
  for (size_t c = 1; c < argument.size(); ++c) {
    const std::string name = std::string("-") + argument[c];
    const CliOption* option = FindCliOption(name);
    if (option == nullptr) {
      error = "unknown option " + name;
      return false;
    }
    // A value written on to its letter, as in "-l3" or "-pl3".
    if (!option->value.empty()) {
      if (c + 1 == argument.size()) {
        error = "option " + name + " needs a value of its own";
        return false;
      }
      return option->apply(line, argument.substr(c + 1), error);
    }
    if (!option->apply(line, "", error))
      return false;
  }
  return true;
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments,
                                            std::string& error) {
  CommandLine line;
  bool haveUrl = false;
  auto takeUrl = [&](const std::string& url) {
    if (haveUrl)
      error = "only one URL may be given";
    line.url = url;
    return !std::exchange(haveUrl, true);
  };
  bool optionsEnded = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    bool taken = false;
    if (!optionsEnded && argument == "--") {
      optionsEnded = taken = true;
    } else if (!optionsEnded && argument.size() > 2 && argument[0] == '-' && argument[1] != '-') {
      taken = TakeSwitches(argument, line, error);
    } else if (optionsEnded || argument.size() <= 1 || argument[0] != '-') {
      taken = takeUrl(argument);
    } else {
      taken = TakeOption(arguments, i, line, error);
    }
    if (!taken)
      return std::nullopt;
  }
  if (!haveUrl && !line.help && !line.version) {
    error = "no URL given";
    return std::nullopt;
  }
  return line;
}

const CliOption* FindCliOption(const std::string& name) {
  for (const CliOption& option : CliOptions()) {
    if (name == option.name || (!option.shortName.empty() && name == option.shortName))
      return &option;
  }
  return nullptr;
}

std::string BashCompletion() {
  std::string names;
  std::string cases;
  for (const CliOption& option : CliOptions()) {
    names += (names.empty() ? "" : " ") + std::string(option.name);
    const char* offer = option.kind == ValueKind::Directory ? "compgen -d -- \"$cur\""
                        : option.kind == ValueKind::File    ? "compgen -f -- \"$cur\""
                                                            : nullptr;
    if (option.kind == ValueKind::None)
      continue;
    cases += "    " + std::string(option.name) + ")\n";
    if (offer != nullptr)
      cases += "      COMPREPLY=($(" + std::string(offer) + "))\n";
    cases += "      return ;;\n";
  }
  return "# bash completion for kelvane-cli, made from its table of options\n"
         "_kelvane_cli() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
         "  COMPREPLY=()\n"
         "  case $prev in\n" +
         cases +
         "  esac\n"
         "  if [[ $cur == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W '" +
         names +
         "' -- \"$cur\"))\n"
         "  fi\n"
         "}\n"
         "complete -o default -F _kelvane_cli kelvane-cli\n";
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
