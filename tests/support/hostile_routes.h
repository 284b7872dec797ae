#pragma once

#include <string>

// The path of a request's first line.
std::string RequestPath(const std::string& request);

// A page of 100,000 lines with a picture on every tenth.
std::string TallPage();

// Every route of the hostile server, by the path asked for: answers broken off, stalled, cut
// short, too large, endless, looping, refused, moved, malformed, strangely named and more. Any
// path it does not know is a small file whose bytes are that path as requested, so that a stored
// file tells which address it came from.
void Route(int fd, const std::string& path);
