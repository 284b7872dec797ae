#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "crawl/base/content_digest.h"
#include "crawl/base/fetched_file.h"
#include "crawl/copy/record_file.h"
#include "crawl/rules/mirror_paths.h"
#include "platform/file_system.h"

enum class SaveResult { Saved, WriteFailed, OutsideSaveTo };

// Whether a write failed for want of room or of permission, which every later file would meet.
bool RoomOrPermission(int error);

// Every file access of a crawl under its save-to directory: whether an earlier copy is there,
// reading it, storing a fetched file. Whatever a path says, nothing outside the save-to
// directory is read or written, and an earlier copy is read only when it is a regular file.
// Where the rules want it, a record of what each stored file is (its type, its address) is kept
// beside the copy, so that a rerun reads every file as what it was when it was fetched.
class MirrorStore {
 public:
  using Record = StoreRecord;

  MirrorStore(const std::string& saveToDirectory, bool keepRecords);
  MirrorStore(const MirrorStore&) = delete;
  MirrorStore& operator=(const MirrorStore&) = delete;

  // Whether anything, file or directory, is at the path.
  bool Exists(const std::string& localPath);
  // Whether the path is the store's own (its records, the log): no fetched file's.
  bool Reserved(const std::string& localPath) const;
  // The earlier copy at the path, its type as recorded; nothing when there is none to read.
  std::unique_ptr<FetchedFile> ReadCopy(const std::string& localPath);
  // Stores a fetched file at the path, creating the directories it needs, and logs each step.
  SaveResult Save(const FetchedFile& fetched, const std::string& localPath);

  // Why the last file Save was given could not be written, where the disk refused it for want of
  // room or of permission: the error, and the directory that refused it.
  struct Refusal {
    int error = 0;
    std::string directory;
  };
  std::optional<Refusal> Refused() const;

  // Whether an earlier copy that can be read is at the path: a regular file, not empty.
  bool IsEarlierCopy(const std::string& localPath);
  // Whether a regular file, empty or not, is at the path.
  bool IsRegularFile(const std::string& localPath);
  // The nearest directory on the way to the path from the save-to directory that is a regular
  // file instead, when one is.
  std::optional<std::string> FileInTheWay(const std::string& localPath);
  // A regular file's whole text, when it is at most max bytes.
  std::optional<std::string> ReadWhole(const std::string& localPath, size_t max);
  // When the file at the path was last written.
  std::optional<int64_t> ModifiedTime(const std::string& localPath);
  // The size of the regular file at the path.
  std::optional<int64_t> Size(const std::string& localPath);
  // The record of the file at the path, when there is one.
  std::optional<Record> RecordOf(const std::string& localPath);
  // The local path of the file stored for an address, when one is: the address that answered,
  // or the one asked for.
  // With the path it is likely at: where the address has that file alone (most do), no record
  // is read to tell.
  std::optional<std::string> LocalPathOf(const std::string& url, const std::string& likely = {});
  // The local path of the file stored for an address asked for, when one is.
  std::optional<std::string> LocalPathAsked(const std::string& url);
  // Gives a stored file, and its record, another name beside it; false when it cannot.
  bool Move(const std::string& localPath, const std::string& newPath);
  // Whether this store (this crawl) wrote the file at the path.
  bool SavedNow(const std::string& localPath) const;
  // Each file stored from now on takes its answer's Last-Modified as its modification time.
  void SetFileTimes(bool on) { m_fileTimes = on; }
  // Files of any size: a body larger than a file's area is spooled beneath the save-to
  // directory, and earlier copies are read up to FetchedFile::kLargestRead bytes.
  void SetAnySize(bool on) { m_anySize = on; }
  // Where a body goes as it comes, to be stored by Save; nothing where no file can be made.
  std::unique_ptr<SpoolFile> OpenSpool();
  // Writes a stored file's original text beside it, as NAME.orig, or where that is a file of the
  // site's, NAME.orig~2, NAME.orig~3 ...; the path written, nothing when it cannot be.
  std::optional<std::string> WriteBackup(const std::string& localPath, const std::string& text);
  // Marks a stored file's record converted, before its text is; false when it has no place in
  // the records. A file without a record gets one, its address given by RecordAddress.
  bool MarkConverted(const std::string& localPath);
  // Replaces a stored file's bytes by its converted text.
  bool WriteConverted(const std::string& localPath, const std::string& text);
  // The address of a file whose record has none.
  void RecordAddress(const std::string& localPath, const std::string& address);

 private:
  std::string RecordsPath() const;
  std::string FullPath(const std::string& below) const;
  bool IsOwnArea(const std::string& below) const;
  // Whether the path lies in a directory this crawl made and was given no file: nothing is there.
  bool KnownAbsent(const std::string& below) const;
  void LoadRecords();
  void AddRecord(const std::string& below, const Record& record);
  // A file that could not be written: the record it held before is the one held (for this
  // crawl; the line written stays, and costs a rerun nothing), or none.
  void Unrecord(const std::string& below, std::optional<Record> before);
  void MakeDirectories(const std::string& directory);
  FileDescriptor DirectoryFor(const std::string& localPath, std::string& name);
  // A file whose directory could neither be opened nor made: why, kept, and said.
  SaveResult NoDirectory(const std::string& localPath);
  // Records a file about to be written, before it is; the record the path held before, which
  // a write that fails gives back.
  std::optional<Record> RecordBefore(const std::string& below, Record& record);
  // What a write leaves: a failure kept and the path's record given back, or the file's time
  // and its validators recorded.
  void AfterWrite(const FetchedFile& fetched, const std::string& localPath,
                  const std::string& below, WriteResult written, Record& record,
                  std::optional<Record> before);
  // What became of a write, said in the log where it failed.
  SaveResult Reported(WriteResult written, const std::string& localPath);

  ConfinedDirectory m_directory;
  const bool m_keepRecords;
  bool m_recordsLoaded = false;
  RecordFile m_recordFile;
  FingerprintSet m_savedNow;  // paths below written by this store
  // Directories this store made, which held nothing before, and other files it wrote there.
  FingerprintSet m_madeDirectories;
  FingerprintSet m_madeHere;
  int m_writeError = 0;  // errno of the last Save's failure
  std::string m_writeDirectory;
  bool m_fileTimes = false;
  bool m_anySize = false;
};
