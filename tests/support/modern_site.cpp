#include "support/modern_site.h"

#include <functional>

namespace {

std::string HeaderOf(const std::string& request, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const size_t at = request.find(key);
  if (at == std::string::npos)
    return std::string();
  const size_t begin = at + key.size();
  return request.substr(begin, request.find("\r\n", begin) - begin);
}

std::string TagOf(const std::string& body) {
  return "\"" + std::to_string(std::hash<std::string>{}(body)) + "\"";
}

}  // namespace

SiteFiles ModernSite(const std::string& server) {
  const std::string html = "text/html; charset=utf-8";
  const std::string css = "text/css";
  SiteFiles site = {
      {"/site/",
       {"<!DOCTYPE html><html><head><title>Start</title>\n"
        "<base href=\"/site/\">\n"
        "<link rel=stylesheet href=\"/site/css/main.css\">\n"
        "<link rel=icon href=\"//" +
            server +
            "/site/img/icon.png\">\n"
            "<style>@import 'css/extra.css'; .h { background: url(\"img/h.png\") }</style>\n"
            "</head><body>\n"
            "<img src=img/a.png srcset=\"img/a.png 1x, img/a2.png 2x\" alt=a>\n"
            "<img src=\"http://" +
            server +
            "/site/img/b.png\">\n"
            "<div style=\"background: url('img/c.png')\">c</div>\n"
            "<p><a href=\"sub\">a directory</a> <a href=\"sub/\">again</a>\n"
            "<a href=\"page.php?id=1\">a script</a> <a href=\"about\">about</a>\n"
            "<a href=\"page.php?id=1.html\">named like its copy</a>\n"
            "<a href=\"old.html\">moved</a>\n"
            "<a href=\"/site/doc.html#part2\">a part</a> <a href=\"#top\">top</a>\n"
            "<a href=\"../outside.html\">outside</a>\n"
            "<a href=\"mailto:someone@example.invalid\">mail</a></p>\n"
            "</body></html>\n",
        html}},
      {"/site/css/main.css",
       {"@import url(\"base.css\");\nbody { background: url(../img/body.png) }\n", css}},
      {"/site/css/base.css", {"p { background: url('/site/img/p.png') }\n", css}},
      {"/site/css/extra.css", {".x { background: url(../img/x.png) }\n", css}},
      {"/site/sub/",
       {"<html><body><img src=\"../img/a.png\"><a href=\"../\">home</a>"
        "<a href=\"/site/sub/deeper/\">deeper</a>"
        "<a href=\"%2e%2E/%2E%2e/outside.html\">outside</a></body></html>\n",
        html}},
      {"/site/sub/deeper/",
       {"<html><body><a href=\"../../doc.html\">doc</a><img "
        "src=\"/site/img/d.png\"></body></html>\n",
        html}},
      {"/site/page.php?id=1",
       {"<html><body><a href=\"doc.html\">doc</a><img src=\"img/php.png\"></body></html>\n", html,
        true}},
      {"/site/page.php?id=1.html",
       {"<html><body><img src=\"img/named.png\"></body></html>\n", html}},
      {"/site/about",
       {"<html><body><a href=\"/site/\">start</a><img src=\"img/about.png\"></body></html>\n",
        html}},
      {"/site/doc.html",
       {"<html><body><h2 id=part2>Part 2</h2><a href=\"page.php?id=1#x\">back</a>"
        "<a href=\"http://" +
            server +
            "/site/sub\">sub</a>\n"
            "<style>.unused { background: url(\"http://other.invalid/\\3c /style\\3e "
            "\\3c svg/onload=alert\\60 1\\60 \\3e .png\") }</style>\n"
            "<noscript><img src=\"http://other.invalid/&lt;/noscript&gt;&lt;svg/"
            "onload=alert(2)&gt;.png\"></noscript>\n"
            "<script><!--<script></script>\n"
            "var s = '<img src=\"http://other.invalid/x&#39;+alert(3)+&#39;.png\">';\n"
            "//--></script></body></html>\n",
        html}},
      {"/outside.html", {"<html><body>outside</body></html>\n", html}},
      // A directory asked for without its "/" is sent to it, as servers do.
      {"/site/sub", {"/site/sub/", "redirect"}},
      // A page moved to another that is linked as well.
      {"/site/old.html", {"/site/doc.html", "redirect"}},
  };
  for (const char* picture :
       {"/site/img/icon.png", "/site/img/h.png", "/site/img/a.png", "/site/img/a2.png",
        "/site/img/b.png", "/site/img/c.png", "/site/img/body.png", "/site/img/p.png",
        "/site/img/x.png", "/site/img/d.png", "/site/img/php.png", "/site/img/about.png",
        "/site/img/named.png"}) {
    site[picture] = {std::string("picture ") + picture, "image/png"};
  }
  return site;
}

SiteFiles ScriptSite(const std::string& away) {
  const std::string index =
      std::string(R"(<!DOCTYPE html><title>Scripts</title><img id="pick"><ul id="list"></ul>
<div style="height:3000px"></div><img class="lazy" data-src="lazy/1.png">
<a href="endless.html">endless</a> <a href="hang.html">hang</a> <a href="poll.html">poll</a>
<script>
document.getElementById('pick').src = ['img/a.png', 'img/b.png'][1];
fetch('data/list.json').then(r => r.json()).then(items => items.forEach(i => {
  const li = document.createElement('li'); li.textContent = i;
  document.getElementById('list').append(li);
}));
new IntersectionObserver((seen, o) => seen.forEach(e => {
  if (e.isIntersecting) { e.target.src = e.target.dataset.src; o.unobserve(e.target); }
})).observe(document.querySelector('.lazy'));
new Worker('w/worker.js').onmessage = e => { document.body.dataset.worker = e.data; };
import('./mod/a.mjs').then(m => { document.body.dataset.mod = m.value; });
fetch('data/post', {method: 'POST', body: 'x'}).catch(() => {});
Object.getOwnPropertyDescriptor(Navigator.prototype, 'serviceWorker').get.call(navigator)
  .register('sw.js').catch(() => {});
setTimeout(() => {
  const a = document.createElement('a'); a.href = 'later.html'; a.textContent = 'later';
  const b = document.createElement('a'); b.href = ')") +
      away + R"(/linked';
  document.body.append(a, b);
}, 100);
</script>)";
  const std::string endless = R"(<!DOCTYPE html><a href="index.html">home</a><script>
let n = 0;
setInterval(() => fetch('tick?' + n++), 20);
alert('hi'); confirm('sure?');
for (let i = 0; i < 50; ++i) window.open(')" +
                              away + R"(/popup');
fetch(')" + away + R"(/fetched').catch(() => {});
setTimeout(() => { location.href = ')" +
                              away + R"(/away'; }, 300);
</script>)";
  return {
      {"/site/index.html", {index, "text/html"}},
      {"/site/endless.html", {endless, "text/html"}},
      // A script that never returns, before its page is even parsed: its window is no one's
      // after it.
      {"/site/hang.html", {"<script>for (;;) {}</script>", "text/html"}},
      // Its picture comes when a loop that asks where it is finds it on the screen.
      {"/site/poll.html",
       {"<div style=\"height:3000px\"></div><img id=p><script>(function look() {"
        " if (p.getBoundingClientRect().top < innerHeight) p.src = 'lazy/3.png';"
        " else requestAnimationFrame(look); })();</script>",
        "text/html"}},
      // Its picture comes only as a reader scrolls to it: no observer, only a listener.
      {"/site/later.html",
       {"<p>later</p><div style=\"height:3000px\"></div><script>addEventListener('scroll', () => {"
        " if (scrollY > 1000 && !window.p) (window.p = new Image()).src = 'lazy/2.png'; });"
        "</script>",
        "text/html"}},
      {"/site/img/a.png", {"\x89PNG a", "image/png"}},
      {"/site/img/b.png", {"\x89PNG b", "image/png"}},
      {"/site/lazy/1.png", {"\x89PNG lazy", "image/png"}},
      {"/site/lazy/2.png", {"\x89PNG lazy 2", "image/png"}},
      {"/site/lazy/3.png", {"\x89PNG lazy 3", "image/png"}},
      {"/site/data/post", {"changed", "text/plain"}},
      {"/site/sw.js",
       {"self.onfetch = e => e.respondWith(new Response('mine'));", "text/javascript"}},
      {"/site/data/list.json", {R"(["one", "two"])", "application/json"}},
      {"/site/mod/a.mjs",
       {"import {b} from './b.mjs'; export const value = 'a' + b;", "text/javascript"}},
      {"/site/mod/b.mjs", {"export const b = 'b';", "text/javascript"}},
      {"/site/w/worker.js",
       {"fetch('data.txt').then(r => r.text()).then(t => postMessage(t));", "text/javascript"}},
      {"/site/w/data.txt", {"from the worker", "text/plain"}},
  };
}

std::vector<std::string> ScriptSiteLoads() {
  return {"img/b.png",   "lazy/1.png", "data/list.json", "mod/a.mjs",  "mod/b.mjs",
          "w/worker.js", "w/data.txt", "later.html",     "lazy/2.png", "lazy/3.png"};
}

SiteFiles CleanSite() {
  const std::string html = "text/html; charset=utf-8";
  auto page = [&](const std::string& body) {
    return SiteFile{
        "<!DOCTYPE html><html><head><link rel=stylesheet href=\"/assets/site.css\">"
        "</head><body>" +
            body + "</body></html>\n",
        html};
  };
  SiteFiles site = {
      {"/home.html",
       page("<a href=\"docs/intro\">intro</a> <a href=\"docs\">docs</a> <a href=\"/blog\">blog</a>"
            " <a href=\"blog/\">blog again</a> <a href=\"guide\">guide</a>"
            " <a href=\"download/tool-linux\">download</a> <a href=\"#top\">top</a>"
            " <a href=\"guide/~index.htm\">a name the guide's page has</a>"
            " <a href=\"\">here</a>")},
      {"/docs.html", page("<a href=\"docs/intro\">intro</a> <a href=\"/docs/setup\">setup</a>")},
      {"/docs/intro.html", page("<a href=\"setup\">setup</a> <img src=\"/assets/logo.png\"> <a "
                                "href=\"../home\">home</a>")},
      {"/docs/setup.html", page("<a href=\"intro#install\">install</a>")},
      {"/blog/index.html", page("<a href=\"/blog/2024/hello\">hello</a>")},
      {"/blog/2024/hello.html",
       page("<img src=\"../../assets/pic.png\"> <a href=\"/home\">home</a>")},
      {"/guide", {"/guide/", "redirect"}},
      {"/guide/index.html", page("<a href=\"start\">start</a>")},
      {"/guide/~index.htm", page("<p>another page of that name</p>")},
      {"/guide/start.html", page("<a href=\"/guide/\">guide</a>")},
      {"/download/tool-linux",
       {std::string("\x7f"
                    "ELF\0\x01\xff binary",
                    14),
        "application/octet-stream"}},
      {"/assets/site.css", {"body { background: url(bg.png) }\n", "text/css"}},
  };
  for (const char* picture : {"/assets/bg.png", "/assets/logo.png", "/assets/pic.png"})
    site[picture] = {std::string("picture ") + picture, "image/png"};
  return site;
}

SiteServer::SiteServer(SiteFiles files) : m_state(std::make_shared<State>()) {
  m_state->files = std::move(files);
}

void SiteServer::Set(const std::string& path, SiteFile file) {
  std::lock_guard lock(m_state->mutex);
  m_state->files[path] = std::move(file);
}

void SiteServer::Remove(const std::string& path) {
  std::lock_guard lock(m_state->mutex);
  m_state->files.erase(path);
}

void SiteServer::SetAll(SiteFiles files) {
  std::lock_guard lock(m_state->mutex);
  m_state->files = std::move(files);
}

void SiteServer::TryFiles(bool on) {
  std::lock_guard lock(m_state->mutex);
  m_state->tryFiles = on;
}

RawServer::Handler SiteServer::Handler() {
  return [state = m_state](int fd, const std::string& request) {
    const size_t start = request.find(' ') + 1;
    const std::string path = request.substr(start, request.find(' ', start) - start);
    SiteFile file;
    {
      std::lock_guard lock(state->mutex);
      auto found = state->files.find(path);
      if (found == state->files.end() && state->tryFiles && !path.ends_with("/"))
        found = state->files.find(path + ".html");
      if (found == state->files.end() && state->tryFiles)
        found = state->files.find(path + (path.ends_with("/") ? "" : "/") + "index.html");
      if (found == state->files.end()) {
        SendAll(fd, Answer(404, "<html>not here</html>", "Content-Type: text/html\r\n"));
        return;
      }
      file = found->second;
    }
    if (file.type == "redirect") {
      SendAll(fd, Answer(301, "", "Location: " + file.body + "\r\n"));
      return;
    }
    if (file.dynamic) {
      SendAll(fd, Answer(200, file.body, "Content-Type: " + file.type + "\r\n"));
      return;
    }
    const std::string tag = TagOf(file.body);
    const std::string headers = "Content-Type: " + file.type + "\r\nETag: " + tag +
                                "\r\nLast-Modified: Mon, 07 Dec 2026 10:00:00 GMT\r\n";
    const std::string since = HeaderOf(request, "If-None-Match");
    if (!since.empty() && since == tag)
      SendAll(fd, "HTTP/1.0 304 Not Modified\r\n" + headers + "\r\n");
    else
      SendAll(fd, Answer(200, file.body, headers));
  };
}
