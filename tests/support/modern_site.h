#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/loopback_server.h"

struct SiteFile {
  std::string body;
  std::string type;      // "redirect": a 301 to the address in body
  bool dynamic = false;  // answered whole every time, without validators, as scripts are
};
using SiteFiles = std::map<std::string, SiteFile>;  // by path, "/site/a.htm"

// A site written the way pages are written today, under /site/ on server ("127.0.0.1:port"):
// root-relative, absolute and protocol-relative same-site addresses, a <base>, directory links
// with and without their "/", srcset, stylesheets with url() and @import, inline styles,
// fragments, a page named .php (made by a script that ignores conditional requests) beside one
// whose name is the first's with ".html", one moved to another that is linked too, one named like
// a directory, a page outside the start
// directory that is linked (once through escaped dots) but never fetched, and addresses on another
// server that would plant script in a copy written back carelessly.
SiteFiles ModernSite(const std::string& server);

// A site of clean addresses, served with TryFiles: pages asked for without ".html" (/home is
// home.html), a directory's page asked for with and without its "/", one directory sent on to
// its "/", a download whose name has no dot, a page whose name is also a directory's, and one
// whose address names the file another's page is stored in.
SiteFiles CleanSite();

// A site whose files only its scripts name, under /site/: a picture chosen from an array, a list
// built from fetched JSON, a lazy picture shown once scrolled to, a worker that fetches a file, a
// chain of module imports, a link added after load; and a page that asks for files forever,
// raises dialogs, opens windows and leaves for another server (away, "http://127.0.0.1:port").
SiteFiles ScriptSite(const std::string& away);
// What a browser loads of it, beside its pages: the files the copy with scripts run must hold.
std::vector<std::string> ScriptSiteLoads();

// Serves files with their types, an ETag and a Last-Modified, answering a conditional request
// for an unchanged file with 304, an unknown path with 404. Files may change between requests.
class SiteServer {
 public:
  explicit SiteServer(SiteFiles files = {});
  void Set(const std::string& path, SiteFile file);
  void Remove(const std::string& path);
  void SetAll(SiteFiles files);
  // Answers a path that names no file as its server's rewrite would: with PATH.html, else
  // PATH/index.html.
  void TryFiles(bool on);
  RawServer::Handler Handler();

 private:
  struct State {
    std::mutex mutex;
    SiteFiles files;
    bool tryFiles = false;
  };
  std::shared_ptr<State> m_state;
};
