#pragma once

#include <string>

// The bytes as gzip, at the best compression.
std::string Gzip(const std::string& text);
