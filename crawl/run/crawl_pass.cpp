#include "crawl/run/crawl_pass.h"

#include "support/int_text.h"

namespace {

NotSavedReason ReasonOf(FetchProblem problem) {
  switch (problem) {
    case FetchProblem::HttpError:
      return NotSavedReason::HttpStatus;
    case FetchProblem::Broken:
      return NotSavedReason::BrokenTransfer;
    case FetchProblem::TooLarge:
      return NotSavedReason::TooLarge;
    case FetchProblem::RedirectRefused:
      return NotSavedReason::RedirectRefused;
    case FetchProblem::Unreachable:
      return NotSavedReason::ServerUnreachable;
    case FetchProblem::Unwritten:
      return NotSavedReason::WriteFailed;
    case FetchProblem::None:
      break;
  }
  return NotSavedReason::None;
}

}  // namespace

bool Unusable(const FetchedFile& file) {
  return file.problem != FetchProblem::None;
}

std::string NotSavedWhy(const FetchedFile& file) {
  switch (file.problem) {
    case FetchProblem::HttpError:
      return "HTTP " + IntToText(file.status);
    case FetchProblem::Broken:
      return "transfer broken: " + file.problemText;
    case FetchProblem::TooLarge:
      return "larger than " +
             (file.problemText.empty() ? std::string("4194304") : file.problemText) + " bytes";
    case FetchProblem::RedirectRefused:
      return "redirected outside the crawl: " + file.problemText;
    case FetchProblem::Unreachable:
      return "server unreachable";
    case FetchProblem::Unwritten:
      return "write failed";
    case FetchProblem::None:
      break;
  }
  return std::string();
}

std::string NotSavedText(const FetchedFile& file) {
  const std::string why = NotSavedWhy(file);
  return why.empty() ? why : "Not saved (" + why + "): " + file.url;
}

FileOutcome OutcomeOf(const CrawlPass& pass, std::optional<SaveResult> saved) {
  FileOutcome outcome;
  outcome.url = pass.url;
  outcome.httpStatus = pass.file->status;
  outcome.bytes = pass.file->wireBytes.value_or(pass.file->Size());
  outcome.fromNetwork = pass.fromNetwork;
  outcome.referrer = pass.referrer;
  if (!pass.fromNetwork) {
    outcome.fate = FileFate::ReadFromCopy;
  } else if (Unusable(*pass.file)) {
    outcome.fate = FileFate::NotSaved;
    outcome.reason = ReasonOf(pass.file->problem);
    outcome.why = NotSavedWhy(*pass.file);
  } else if (saved == SaveResult::WriteFailed || saved == SaveResult::OutsideSaveTo) {
    outcome.fate = FileFate::NotSaved;
    const bool failed = saved == SaveResult::WriteFailed;
    outcome.reason = failed ? NotSavedReason::WriteFailed : NotSavedReason::OutsideSaveTo;
    outcome.why = failed ? "write failed" : "outside the save-to directory";
  }
  return outcome;
}
