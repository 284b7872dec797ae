#pragma once

#include <string>

// The bytes as gzip, at the best compression.
std::string Gzip(const std::string& text);

// The bytes as deflate: the zlib format, or with bare the stream without its header.
std::string Deflate(const std::string& text, bool bare = false);
