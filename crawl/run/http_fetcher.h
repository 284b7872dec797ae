#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crawl/base/fetched_file.h"

class Transport;
struct TransferResult;

// Retrieves an address with one HTTP/1.0 GET over a connection of its own, reporting each step
// through the log and the bars. A failed network call raises the main dialog's stop flag, but
// with unreachableAlone, a server that cannot be reached is this file's failure alone
// (FetchProblem::Unreachable).
std::unique_ptr<FetchedFile> Fetch(std::string url, Transport& transport,
                                   const RedirectRule& mayRedirect = {},
                                   const std::vector<std::string>& headers = {},
                                   bool unreachableAlone = false);

// The activity bar's range, and the file bar's for a file of unknown size.
inline constexpr int kActivityHigh = 16384;

// What a fetch logs and shows once the answer's headers are in: the size header, or that there
// is none, and the bars' ranges. A size header is given only when it has at most 254 characters.
// fileBar: this transfer is the one the file bar follows.
void ReportAnswerHeaders(const std::optional<std::string>& sizeHeader, bool fileBar = true);

// The reports of a body's reads: a "bytes read" line for each read that brought bytes, the file
// bar at the total, and the activity bar going back and forth with the bytes.
class ReadProgress {
 public:
  void Read(int32_t bytes, int32_t total, bool fileBar = true);

 private:
  int m_activity = 0;
  int m_direction = 1;
};

// The answer's status, and why it must not be stored, from how its transfer ended.
void JudgeAnswer(FetchedFile& file, const TransferResult& result, bool tooLarge);
