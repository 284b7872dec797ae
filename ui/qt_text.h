#pragma once

#include <QString>
#include <string>

// The engine's texts are UTF-8 bytes.
inline QString ToQt(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
