#pragma once

// A descriptor a wait ends for as well: another source of work on the same thread.
struct WatchedFd {
  int fd = -1;
  bool write = false;  // for room to write, rather than something to read
};
