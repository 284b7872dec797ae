#include "crawl/run/store_limits.h"

#include <cerrno>
#include <cstring>

void StoreLimits::CountStored(int64_t bytes) {
  if (m_plan.quota <= 0)
    return;
  m_storedBytes += bytes;
  if (!m_quotaReached && m_storedBytes >= m_plan.quota) {
    m_quotaReached = true;
    m_dialog.Log("Quota of " + std::to_string(m_plan.quota) +
                 " bytes reached: no more files are fetched");
  }
}

void StoreLimits::WriteRefused(int error, const std::string& directory) {
  // A full or read-only disk, or a save-to directory that takes nothing, refuses every file to
  // come; a directory within the copy refuses its own files alone.
  m_writeStop = m_writeStop || error == ENOSPC || error == EDQUOT || error == EROFS ||
                directory == m_plan.start.saveToDirectory;
  if (!m_writeRefusal.empty())
    return;
  m_writeRefusal = directory + ": " + std::strerror(error);
  m_dialog.Log("Cannot write in " + m_writeRefusal);
}
