#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crawl/run/crawl_options.h"

// The command line: the crawl's options, and the console's own.
struct CommandLine : CrawlSettings {
  std::string url;
  std::string saveTo;  // empty: the current directory
  bool verbose = false;
  bool quiet = false;
  bool help = false;
  bool version = false;
};

// One option of kelvane-cli: its own, then the crawl's. --help, the bash completion and the
// manual page's check all come from this one table, so that they cannot drift apart.
struct CliOption {
  std::string_view name;       // "--save-to"
  std::string_view shortName;  // "-h", or empty
  std::string_view value;      // the value's name in --help ("DIR"), empty for a switch
  std::string_view help;
  ValueKind kind;
  // Takes the value into the command line; false, with error set, when it is not one. An
  // option of the crawl has its rule in the crawl's table instead.
  bool (*apply)(CommandLine& line, const std::string& value, std::string& error);
  const CrawlOption* crawl = nullptr;
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
