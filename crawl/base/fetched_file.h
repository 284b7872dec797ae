#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class SpoolFile;

// Why a fetched answer must not be taken for the file.
// Unreachable: the server's name, a connection to it or the TLS set-up with it failed.
// Unwritten: the body, larger than a file's area, could not go on to disk as it came.
enum class FetchProblem {
  None,
  HttpError,
  Broken,
  TooLarge,
  RedirectRefused,
  Unreachable,
  Unwritten
};

// One fetched or locally read file, held whole in memory.
struct FetchedFile {
  static constexpr int32_t kCapacity = 4194304;
  // The most of a page or stylesheet that is read for its references where a file may be larger
  // than its area.
  static constexpr int32_t kLargestRead = 64 << 20;

  FetchedFile();
  ~FetchedFile();
  FetchedFile(FetchedFile&&) = default;
  FetchedFile& operator=(FetchedFile&&) = default;

  int32_t length = 0;            // valid bytes in data; a file counts as obtained only when above 0
  std::unique_ptr<char[]> data;  // kCapacity bytes, allocated once, never cleared
  int32_t cursor = -1;           // the scanner's line position; -1 when just filled
  std::string url;               // the address the bytes stand for
  std::string finalUrl;          // the address that answered, redirects followed, where known
  int status = 0;                // the HTTP status of a fetched answer
  FetchProblem problem = FetchProblem::None;
  // Broken: the transfer's error text; RedirectRefused: where the answer sent it; TooLarge:
  // the limit, where it is not the file area's.
  std::string problemText;
  std::string failedCallText;  // the error text of a network call that failed and stopped the crawl
  int writeError = 0;          // Unwritten: errno of the write that failed
  std::string contentType;     // the answer's type, or the type it was stored with
  std::string lastModified;    // the answer's validators
  std::string etag;
  std::string contentDisposition;         // the answer's, naming the file where it is asked to
  std::optional<std::string> loginAsked;  // a 401 that asks for a login: the realm it names
  bool digestAsked = false;               // by Digest, rather than Basic
  bool converted = false;  // an earlier copy whose links were rewritten for reading from disk
  // The body's size as it crossed the wire, where that differs from length (compressed).
  std::optional<int64_t> wireBytes;
  // Read as the web is read, a body of any size goes to a file beneath the save-to directory
  // as it comes, which becomes the copy once whole; data then holds what is read of it.
  std::shared_ptr<SpoolFile> spool;
  std::string digest;  // of the whole body, where it was taken as it came

 private:
  const char* m_first = nullptr;  // the area data had from the start
 public:
  // The file's whole size: its spooled bytes, or those in data.
  int64_t Size() const;
  // The digest of the whole body.
  std::string Digest() const;
  // Brings a spooled body into data to be read; false where it has more than most bytes or
  // cannot be read back.
  bool ReadSpooled(int64_t most);
};

// Where a redirect may lead; empty for anywhere over http or https.
using RedirectRule = std::function<bool(const std::string& target)>;

// True when text begins with "http://" or "https://", letter case not counting.
bool IsHttpUrl(const std::string& text);

// What a file is read as, for its links.
enum class FileKind { Other, Page, Stylesheet };

// By the answer's type when there is one, else by the name's extension.
FileKind KindOf(const std::string& contentType, const std::string& localPath);

// The server name (with any port) and the object name (without its leading "/") of an address.
void CutAddress(const std::string& url, std::string& server, std::string& objectName);

// Reads at most kCapacity bytes of a local file; length stays 0 when it cannot be read.
std::unique_ptr<FetchedFile> LoadLocal(const std::string& path);

// The stop flag that fetches watch: the main dialog's, or a fetch's own when there is none.
std::atomic<int>& StopFlag();
// Clears the stop flag of a fetch made without a dialog: each is a crawl of its own.
void ClearStopWithoutDialog();
