#include "ui/online_help.h"

#include <dlfcn.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextDocument>
#include <cstdint>
#include <cstring>

#ifndef KELVANE_DATA_DIR
#define KELVANE_DATA_DIR "/usr/share/kelvane"
#endif

// What the reader library hands out, as its header declares it.
struct chmUnitInfo {
  unsigned long long start;
  unsigned long long length;
  int space;
  int flags;
  char path[512 + 1];
};

namespace {

using OpenEntry = chmFile* (*)(const char*);
using CloseEntry = void (*)(chmFile*);
using ResolveEntry = int (*)(chmFile*, const char*, chmUnitInfo*);
using RetrieveEntry = long long (*)(chmFile*, chmUnitInfo*, unsigned char*, unsigned long long,
                                    long long);

struct Reader {
  std::string libraryName = "libchm.so.1";
  std::string helpFileOverride;
  void* module = nullptr;
  OpenEntry open = nullptr;
  CloseEntry close = nullptr;
  ResolveEntry resolve = nullptr;
  RetrieveEntry retrieve = nullptr;
  bool failed = false;
  int loads = 0;
};

Reader& TheReader() {
  static Reader reader;
  return reader;
}

constexpr uint16_t kDefaultTopicCode = 2;  // in the file's #SYSTEM records

}  // namespace

namespace OnlineHelp {

bool LoadReader() {
  Reader& r = TheReader();
  if (r.failed)
    return false;
  if (r.module == nullptr) {
    r.module = dlopen(r.libraryName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (r.module == nullptr) {
      r.failed = true;
      return false;
    }
    ++r.loads;
  }
  if (r.open == nullptr) {
    r.open = reinterpret_cast<OpenEntry>(dlsym(r.module, "chm_open"));
    r.close = reinterpret_cast<CloseEntry>(dlsym(r.module, "chm_close"));
    r.resolve = reinterpret_cast<ResolveEntry>(dlsym(r.module, "chm_resolve_object"));
    r.retrieve = reinterpret_cast<RetrieveEntry>(dlsym(r.module, "chm_retrieve_object"));
    if (!r.open || !r.close || !r.resolve || !r.retrieve) {
      r.open = nullptr;
      r.failed = true;
      return false;
    }
  }
  return true;
}

int LoadCount() {
  return TheReader().loads;
}
bool Failed() {
  return TheReader().failed;
}
void SetReaderLibraryName(const std::string& name) {
  TheReader().libraryName = name;
}
void SetHelpFileOverride(const std::string& path) {
  TheReader().helpFileOverride = path;
}

void ResetForTesting() {
  Reader& r = TheReader();
  std::string name = r.libraryName;
  std::string help = r.helpFileOverride;
  r = Reader{};
  r.libraryName = name;
  r.helpFileOverride = help;
}

std::string FindHelpFile() {
  const Reader& r = TheReader();
  if (!r.helpFileOverride.empty()) {
    return QFileInfo::exists(QString::fromStdString(r.helpFileOverride)) ? r.helpFileOverride : "";
  }
  const QString programDir = QCoreApplication::applicationDirPath();
  for (const QString& place :
       {programDir + "/Kelvane.chm", programDir + "/../share/kelvane/Kelvane.chm",
        QStringLiteral(KELVANE_DATA_DIR "/Kelvane.chm")}) {
    if (QFileInfo(place).isFile())
      return place.toStdString();
  }
  return "";
}

}  // namespace OnlineHelp

bool CHelpWindow::Open(const std::string& chmPath) {
  Reader& r = TheReader();
  if (!OnlineHelp::LoadReader())
    return false;
  m_file = r.open(chmPath.c_str());
  if (m_file == nullptr)
    return false;
  // The default topic is one record of the file's #SYSTEM object: code, length, text.
  QByteArray system = Retrieve("/#SYSTEM");
  for (qsizetype at = 4; at + 4 <= system.size();) {
    auto byte = [&](qsizetype i) {
      return static_cast<uint16_t>(static_cast<unsigned char>(system[i]));
    };
    uint16_t code = byte(at) | byte(at + 1) << 8;
    uint16_t length = byte(at + 2) | byte(at + 3) << 8;
    at += 4;
    if (at + length > system.size())
      break;
    if (code == kDefaultTopicCode) {
      m_defaultTopic =
          std::string(system.constData() + at, strnlen(system.constData() + at, length));
      break;
    }
    at += length;
  }
  if (m_defaultTopic.empty())
    return false;
  setWindowTitle(QStringLiteral("Kelvane Help"));
  setOpenLinks(true);
  ShowDefaultTopic();
  return true;
}

void CHelpWindow::ShowDefaultTopic() {
  setSource(QUrl(QStringLiteral("chm:///") + QString::fromStdString(m_defaultTopic)));
}

CHelpWindow::~CHelpWindow() {
  if (m_file != nullptr)
    TheReader().close(m_file);
}

QByteArray CHelpWindow::Retrieve(const std::string& path) const {
  Reader& r = TheReader();
  chmUnitInfo unit{};
  if (m_file == nullptr || r.resolve(m_file, path.c_str(), &unit) != 0)
    return QByteArray();
  if (unit.length > 64u * 1024 * 1024)
    return QByteArray();
  QByteArray bytes(static_cast<qsizetype>(unit.length), '\0');
  long long got = r.retrieve(m_file, &unit, reinterpret_cast<unsigned char*>(bytes.data()), 0,
                             static_cast<long long>(unit.length));
  bytes.resize(got > 0 ? static_cast<qsizetype>(got) : 0);
  return bytes;
}

QVariant CHelpWindow::loadResource(int type, const QUrl& name) {
  if (name.scheme() != QLatin1String("chm"))
    return QVariant();  // nothing from outside the file
  QByteArray bytes = Retrieve(name.path().toStdString());
  if (bytes.isEmpty())
    return QVariant();
  if (type == QTextDocument::HtmlResource || type == QTextDocument::StyleSheetResource) {
    return QString::fromUtf8(bytes);
  }
  return bytes;
}
