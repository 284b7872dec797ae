#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crawl/run/crawl_options.h"

// The command line: the crawl's plan as its options write it, and the console's own.
struct CommandLine {
  CrawlPlan plan;
  std::string url;
  std::string saveTo;     // empty: the current directory
  std::string inputFile;  // addresses to start from, one a line; "-": standard input
  bool verbose = false;
  bool quiet = false;
  bool noProgress = false;  // the summary and failures, no progress line
  std::string outputFile;   // what would go to the terminal goes there
  bool appendOutput = false;
  bool help = false;
  bool version = false;
  std::string serve;  // a copy's directory to serve instead of a crawl
};

// An option of the console's own: where the copy goes and what is printed.
struct ConsoleOption {
  OptionText text;
  bool (*apply)(CommandLine& line, const std::string& value, std::string& error);
};

// One option of kelvane-cli: an entry of its own table or of the crawl's, which stand side by
// side. --help, the bash completion and the manual page's check all come from this one list, so
// that they cannot drift apart.
struct CliOption {
  const OptionText* text;
  const ConsoleOption* own = nullptr;
  const CrawlOption* crawl = nullptr;
  // Takes the value into the command line; false, with error set, when it is not one.
  bool Apply(CommandLine& line, const std::string& value, std::string& error) const;
};

const std::vector<CliOption>& CliOptions();
const CliOption* FindCliOption(const std::string& name);

// The bash completion script, made from the table.
std::string BashCompletion();

// Parses the arguments after the program name; on failure, error says why.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments,
                                            std::string& error);

std::string UsageText();

// The save-to directory as typed (relative, with "." or "..", a trailing "/"), made absolute
// against the current directory and lexically normal, without a trailing "/" but for the root.
std::string NormalSaveTo(const std::string& typed);
