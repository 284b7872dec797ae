#pragma once

#include <cstddef>
#include <string>

// Writes every byte to an open file, going on after interruptions; false on an error.
bool WriteAll(int fd, const char* data, size_t size);

// Whether a file or directory of exactly this name exists.
bool PathExists(const std::string& path);

// Creates one directory level; the result is not wanted by any caller.
void MakeDirectory(const std::string& path);

enum class WriteResult { Written, OpenFailed, WriteFailed };

// Replaces path with the given bytes so that no reader, and no crash, ever sees a torn file:
// the bytes go to a temporary file in the same directory, which is renamed onto path once every
// write, the flush and the close have succeeded. The new file gets 0666 less the umask.
WriteResult WriteFileAtomically(const std::string& path, const char* data, size_t size);
