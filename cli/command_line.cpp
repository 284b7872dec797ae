#include "cli/command_line.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include <unistd.h>
#include <utility>

namespace {

// Column of the help texts in --help.
constexpr size_t kHelpColumn = 27;

bool PrintInto(CommandLine& line, const std::string& file, bool append, std::string& error) {
  line.outputFile = file;
  line.appendOutput = append;
  if (file.empty())
    error =
        std::string("option ") + (append ? "--append-output" : "--output-file") + " needs a file";
  return !file.empty();
}

// The console's own options: where the copy goes and what is printed, then help and version.
const std::vector<ConsoleOption>& OwnOptions() {
  using L = CommandLine;
  static const std::vector<ConsoleOption> options = {
      {{"--save-to", "", "DIR", "save under DIR (default: the current directory)",
        ValueKind::Directory, "--directory-prefix -P"},
       [](L& l, const std::string& v, std::string& error) {
         l.saveTo = v;
         if (v.empty())
           error = "--save-to needs a directory";
         return !v.empty();
       }},
      {{"--verbose", "", "", "write every step to DIR/Kelvane.log", ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.verbose = true; }},
      {{"--quiet", "", "", "print no progress and no summary", ValueKind::None, "-q"},
       [](L& l, const std::string&, std::string&) { return l.quiet = true; }},
      {{"--no-verbose", "-nv", "", "print no progress line, only the summary and failures",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.noProgress = true; }},
      {{"--output-file", "-o", "FILE", "print into FILE, not the terminal", ValueKind::File},
       [](L& l, const std::string& v, std::string& error) {
         return PrintInto(l, v, false, error);
       }},
      {{"--append-output", "-a", "FILE", "print at the end of FILE, not the terminal",
        ValueKind::File},
       [](L& l, const std::string& v, std::string& error) { return PrintInto(l, v, true, error); }},
      {{"--input-file", "-i", "FILE",
        "with -p, start from each address of FILE too (- reads input)", ValueKind::File},
       [](L& l, const std::string& v, std::string& error) {
         l.inputFile = v;
         if (v.empty())
           error = "option --input-file needs a file";
         return !v.empty();
       }},
      {{"--serve", "", "DIR",
        "serve the copy in DIR on 127.0.0.1 until Ctrl-C, and print its address",
        ValueKind::Directory},
       [](L& l, const std::string& v, std::string& error) {
         l.serve = v;
         if (v.empty())
           error = "--serve needs a directory";
         return !v.empty();
       }},
      {{"--help", "-h", "", "show this help and exit", ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.help = true; }},
      {{"--version", "", "", "show the version and exit", ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.version = true; }},
  };
  return options;
}

}  // namespace

bool CliOption::Apply(CommandLine& line, const std::string& value, std::string& error) const {
  return own != nullptr ? own->apply(line, value, error) : crawl->apply(line.plan, value, error);
}

const std::vector<CliOption>& CliOptions() {
  // Where the copy goes first, help and version last, the crawl's own between them.
  static const std::vector<CliOption> options = [] {
    const std::vector<ConsoleOption>& own = OwnOptions();
    std::vector<CliOption> all;
    constexpr size_t kFirst = 7;  // where the copy goes, what is printed, where it starts
    for (size_t i = 0; i < kFirst; ++i)
      all.push_back({&own[i].text, &own[i]});
    for (const CrawlOption& option : CrawlOptions())
      all.push_back({&option.text, nullptr, &option});
    for (size_t i = kFirst; i < own.size(); ++i)
      all.push_back({&own[i].text, &own[i]});
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
    const OptionText& about = *option.text;
    std::string left = "  " + std::string(about.name);
    if (!about.value.empty())
      left += " " + std::string(about.value);
    std::string others(about.shortName);
    for (const char c : about.also)
      others += c == ' ' ? std::string(", ") : std::string(1, c);
    if (!about.also.empty() && !about.shortName.empty())
      others.insert(about.shortName.size(), ", ");
    if (!others.empty())
      left += " (" + others + ")";
    left.resize(std::max(left.size() + 1, kHelpColumn), ' ');
    text += left + std::string(about.help) + "\n";
  }
  text +=
      "\n"
      "Exit status: 0 completed; 1 a file could not be obtained; 2 bad arguments; 4 a network\n"
      "failure cancelled the crawl or broke a transfer; 8 some files were not saved (an HTTP\n"
      "error status, a file larger than 4 MiB without -p, a failed write, a path outside the\n"
      "save-to directory, a redirect the crawl does not follow); 130 stopped by Ctrl-C or\n"
      "SIGTERM. With -p, -r or -m, as wget: 3 a file or the archive could not be written; 5 a\n"
      "certificate did not verify; 6 a login was refused; 8 with --spider, a link is broken.\n"
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
  if (option->text->value.empty() && inlineValue) {
    error = "option " + name + " takes no value";
    return false;
  }
  std::string value;
  if (!option->text->value.empty()) {
    if (!inlineValue && i + 1 >= arguments.size()) {
      error = "option " + name + " needs a value";
      return false;
    }
    value = inlineValue ? *inlineValue : arguments[++i];
  }
  return option->Apply(line, value, error);
}

// wget's "-n" and the letters after it, each a switch of its own: "-nHd" is "-nH -nd".
bool TakeNoSwitches(const std::string& argument, size_t n, CommandLine& line, std::string& error) {
  for (size_t c = n + 1; c < argument.size(); ++c) {
    const CliOption* option = FindCliOption(std::string("-n") + argument[c]);
    if (option == nullptr || !option->text->value.empty()) {
      error = "unknown option " + (n == 1 ? argument : std::string("-n") + argument[c]);
      return false;
    }
    if (!option->Apply(line, "", error))
      return false;
  }
  return n + 1 < argument.size() || (error = "unknown option -n", false);
}

// Several one-letter switches written as one argument: "-pkE" is "-p -k -E".
bool TakeSwitches(const std::string& argument, CommandLine& line, std::string& error) {
  for (size_t c = 1; c < argument.size(); ++c) {
    if (argument[c] == 'n')
      return TakeNoSwitches(argument, c, line, error);
    const std::string name = std::string("-") + argument[c];
    const CliOption* option = FindCliOption(name);
    if (option == nullptr) {
      error = "unknown option " + (c == 1 ? argument : name);
      return false;
    }
    // A value written on to its letter, as in "-l3" or "-pl3".
    if (!option->text->value.empty()) {
      if (c + 1 == argument.size()) {
        error = "option " + name + " needs a value of its own";
        return false;
      }
      return option->Apply(line, argument.substr(c + 1), error);
    }
    if (!option->Apply(line, "", error))
      return false;
  }
  return true;
}

// The options as the archive's first record describes the crawl: a password, and the value of
// an Authorization header line, replaced.
std::string OptionsForArchive(const std::vector<std::string>& arguments) {
  std::string text;
  bool secretNext = false;
  for (const std::string& argument : arguments) {
    std::string shown = argument;
    if (secretNext) {
      shown = "[removed]";
    } else if (argument.starts_with("--password=") || argument.starts_with("--http-password=")) {
      shown = argument.substr(0, argument.find('=')) + "=[removed]";
    } else if (const size_t colon = argument.find(':'); colon != std::string::npos) {
      std::string name = argument.substr(0, colon);
      for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (name == "authorization" || name == "proxy-authorization" ||
          name == "--header=authorization" || name == "--header=proxy-authorization")
        shown = argument.substr(0, colon) + ": [removed]";
      else if (std::string address = TypedAddress(argument, true); TakeUserInfo(address))
        shown = address;  // an address's password, with its user, however it is written
    }
    secretNext = argument == "--password" || argument == "--http-password";
    text += (text.empty() ? "" : " ") + shown;
  }
  return text;
}

// Options that need another, or exclude one: the first complaint. Otherwise the defaults that
// -r and -m bring are given.
std::optional<std::string> SettlePlan(CrawlPlan& plan) {
  const ArchivePlan& archive = plan.archive;
  if (!archive.Wanted() && (archive.maxSize > 0 || archive.cdx || archive.dedup || archive.noCopy))
    return "options --warc-max-size, --warc-cdx, --warc-dedup and --no-copy need --warc-file or "
           "--wacz";
  if (!plan.render && plan.renderSeconds != CrawlPlan().renderSeconds)
    return "option --render-budget needs --render";
  if (std::optional<std::string> problem = SettleRecursion(plan))
    return problem;
  if (archive.noCopy && (plan.convertLinks || plan.update))
    return "option --no-copy leaves no copy to convert or update";
  return std::nullopt;
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
    } else if (!optionsEnded && argument == "-n" && i + 1 < arguments.size()) {
      taken = TakeSwitches("-n" + arguments[++i], line, error);  // "-n v", as wget reads it
    } else if (!optionsEnded && argument.size() > 2 && argument[0] == '-' && argument[1] != '-' &&
               FindCliOption(argument) == nullptr) {
      taken = TakeSwitches(argument, line, error);
    } else if (optionsEnded || argument.size() <= 1 || argument[0] != '-') {
      taken = takeUrl(argument);
    } else {
      taken = TakeOption(arguments, i, line, error);
    }
    if (!taken)
      return std::nullopt;
  }
  if (!haveUrl && !line.help && !line.version && line.inputFile.empty() && line.serve.empty()) {
    error = "no URL given";
    return std::nullopt;
  }
  if (std::optional<std::string> problem = SettlePlan(line.plan)) {
    error = *problem;
    return std::nullopt;
  }
  line.plan.archive.commandLine = OptionsForArchive(arguments);
  return line;
}

const CliOption* FindCliOption(const std::string& name) {
  for (const CliOption& option : CliOptions()) {
    if (option.text->Named(name))
      return &option;
  }
  return nullptr;
}

std::string BashCompletion() {
  std::string names;
  std::string cases;
  for (const CliOption& option : CliOptions()) {
    const OptionText& about = *option.text;
    names += (names.empty() ? "" : " ") + std::string(about.name);
    std::string label(about.name);
    if (!about.also.empty()) {
      names += " " + std::string(about.also);
      for (const char c : about.also)
        label += c == ' ' ? '|' : c;
      label.insert(about.name.size(), "|");
    }
    const char* offer = about.kind == ValueKind::Directory ? "compgen -d -- \"$cur\""
                        : about.kind == ValueKind::File    ? "compgen -f -- \"$cur\""
                                                           : nullptr;
    if (about.kind == ValueKind::None)
      continue;
    cases += "    " + label + ")\n";
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
