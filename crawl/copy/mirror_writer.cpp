#include "crawl/copy/mirror_writer.h"

SaveResult Save(const FetchedFile& fetched, const std::string& localPath,
                const std::string& saveToDirectory) {
  return MirrorStore(saveToDirectory, false).Save(fetched, localPath);
}
