#include "crawl/rules/scope_rules.h"

#include <fnmatch.h>
#include <regex.h>

#include <algorithm>

#include "crawl/rules/mirror_paths.h"
#include "platform/ascii.h"

namespace {

// The path of an address: after the server, before the query and the fragment.
std::string PathOf(const std::string& url) {
  const size_t scheme = SchemeLength(url);
  const size_t slash = url.find('/', scheme);
  if (slash == std::string::npos)
    return "/";
  return ComparablePath(url.substr(slash, url.find_first_of("?#", slash) - slash));
}

bool Unreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

bool HasWildcard(const std::string& pattern) {
  return pattern.find_first_of("*?[") != std::string::npos;
}

// A suffix ("gif", ".gif"), or a shell pattern when it has a wildcard, on a file name.
bool NameMatches(const std::string& pattern, const std::string& name) {
  if (HasWildcard(pattern))
    return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
  return !pattern.empty() && name.ends_with(pattern);
}

// A directory of the list: itself and everything below it, wildcards matching within a step.
bool DirectoryMatches(std::string pattern, const std::string& directory) {
  pattern = ComparablePath(pattern.starts_with('/') ? pattern : "/" + pattern);
  while (pattern.size() > 1 && pattern.ends_with('/'))
    pattern.pop_back();
  if (pattern == "/")
    return true;
  if (!HasWildcard(pattern))
    return directory == pattern || directory.starts_with(pattern + "/");
  // The directory or one above it, step by step.
  for (size_t end = directory.find('/', 1);; end = directory.find('/', end + 1)) {
    const std::string step = directory.substr(0, end);
    if (fnmatch(pattern.c_str(), step.c_str(), FNM_PATHNAME) == 0)
      return true;
    if (end == std::string::npos)
      return false;
  }
}

bool AnyDirectoryMatches(const std::vector<std::string>& patterns, const std::string& directory) {
  return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
    return DirectoryMatches(pattern, directory);
  });
}

}  // namespace

namespace {

// The host of "scheme://host:port", in lower case.
std::string HostOfOrigin(const std::string& origin) {
  const size_t scheme = origin.find("://");
  std::string_view host =
      std::string_view(origin).substr(scheme == std::string::npos ? 0 : scheme + 3);
  if (host.starts_with('['))
    host = host.substr(0, host.find(']') + 1);
  else
    host = host.substr(0, host.rfind(':'));
  return ToLowerAscii(host);
}

bool InDomains(const std::vector<std::string>& domains, const std::string& host) {
  return std::any_of(domains.begin(), domains.end(), [&](const std::string& domain) {
    std::string d = ToLowerAscii(TrimSpace(domain));
    while (d.starts_with('.'))
      d.erase(0, 1);
    return !d.empty() && (host == d || host.ends_with("." + d));
  });
}

}  // namespace

bool ServerInScope(const ScopePlan& plan, const std::string& origin, bool page) {
  if (!plan.spanHosts)
    return false;
  const std::string host = HostOfOrigin(origin);
  if (InDomains(plan.excludeDomains, host))
    return false;
  if (page)
    return plan.pagesAnywhere || InDomains(plan.domains, host);
  return plan.domains.empty() || InDomains(plan.domains, host);
}

std::string NormalEscapes(std::string_view text) {
  std::string normal;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const int high = text[i] == '%' && i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
    if (low < 0) {
      if (byte <= 0x20 || byte >= 0x7F)
        AppendPercentEscaped(normal, byte);
      else
        normal += text[i];
      continue;
    }
    const char c = static_cast<char>(high * 16 + low);
    if (Unreserved(c))
      normal += c;
    else
      AppendPercentEscaped(normal, static_cast<unsigned char>(c));
    i += 2;
  }
  return normal;
}

bool ServerExcluded(const ScopePlan& plan, const std::string& origin) {
  return InDomains(plan.excludeDomains, HostOfOrigin(origin));
}

std::string ComparablePath(std::string_view path, bool keepInnerEmpty) {
  const std::string decoded = NormalEscapes(path);
  // "." and ".." steps, as the server resolves them; a path ending in a step of its own
  // ("/", "/.", "/..") names a directory.
  std::vector<std::string_view> steps;
  bool directory = false;
  std::string_view rest = std::string_view(decoded).substr(decoded.starts_with('/') ? 1 : 0);
  for (;;) {
    const size_t slash = rest.find('/');
    const std::string_view step = rest.substr(0, slash);
    const bool last = slash == std::string_view::npos;
    directory = last && (step.empty() || step == "." || step == "..");
    if (step == "..") {
      if (!steps.empty())
        steps.pop_back();
    } else if (step != "." && (!step.empty() || (keepInnerEmpty && !steps.empty() && !last))) {
      steps.push_back(step);
    }
    if (last)
      break;
    rest = rest.substr(slash + 1);
  }
  std::string comparable = "/";
  for (size_t i = 0; i < steps.size(); ++i)
    comparable += (i == 0 ? "" : "/") + std::string(steps[i]);
  if (directory && !steps.empty())
    comparable += '/';
  return comparable;
}

// A compiled POSIX extended expression, without back-references: the C library matches it
// without a stack per character, so a long address cannot exhaust it.
struct Scope::Expression {
  explicit Expression(const std::string& text) {
    ready = regcomp(&compiled, text.c_str(), REG_EXTENDED | REG_NOSUB) == 0;
  }
  ~Expression() {
    if (ready)
      regfree(&compiled);
  }
  bool Matches(const std::string& text) const {
    return ready && regexec(&compiled, text.c_str(), 0, nullptr, 0) == 0;
  }
  regex_t compiled{};
  bool ready = false;
};

std::optional<std::string> RegexError(const std::string& expression) {
  // A back-reference makes the C library's matcher try every way of matching: time that grows
  // exponentially with the address.
  for (size_t i = 0; i + 1 < expression.size(); ++i) {
    if (expression[i] == '\\') {
      if (expression[i + 1] >= '1' && expression[i + 1] <= '9')
        return std::string("back-references are not taken");
      ++i;
    }
  }
  regex_t compiled{};
  const int code = regcomp(&compiled, expression.c_str(), REG_EXTENDED | REG_NOSUB);
  if (code == 0) {
    regfree(&compiled);
    return std::nullopt;
  }
  char text[256];
  regerror(code, &compiled, text, sizeof text);
  return std::string(text);
}

Scope::Scope(const ScopePlan& plan) : m_plan(plan) {
  if (!plan.acceptRegex.empty())
    m_accept = std::make_unique<Expression>(plan.acceptRegex);
  if (!plan.rejectRegex.empty())
    m_reject = std::make_unique<Expression>(plan.rejectRegex);
}

Scope::~Scope() = default;

bool Scope::NameTaken(const std::string& name, const std::string& url, std::string& why) const {
  const auto matches = [&](const std::string& pattern) { return NameMatches(pattern, name); };
  if (std::any_of(m_plan.reject.begin(), m_plan.reject.end(), matches)) {
    why = "rejected name";
    return false;
  }
  if (!m_plan.accept.empty() && std::none_of(m_plan.accept.begin(), m_plan.accept.end(), matches)) {
    why = "name not accepted";
    return false;
  }
  if (m_reject && m_reject->Matches(url)) {
    why = "rejected address";
    return false;
  }
  if (m_accept && !m_accept->Matches(url)) {
    why = "address not accepted";
    return false;
  }
  return true;
}

Scope::Judgement Scope::Judge(const std::string& url, int depth, bool requisite,
                              bool redirect) const {
  const std::string path = PathOf(url);
  const size_t slash = path.rfind('/');
  const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = path.substr(slash + 1);
  std::string why;
  // The start address is always fetched; its name rules only whether it is stored.
  if (depth == 0)
    return NameTaken(name, url, why) ? Judgement{} : Judgement{Verdict::ReadOnly, why};
  if (AnyDirectoryMatches(m_plan.excludeDirectories, directory))
    return {Verdict::LeftOut, "excluded directory"};
  if (!m_plan.includeDirectories.empty() &&
      !AnyDirectoryMatches(m_plan.includeDirectories, directory))
    return {Verdict::LeftOut, "directory not included"};
  // What the pages taken need to show is fetched whatever its depth: only pages lead deeper.
  if (m_plan.level > 0 && depth > m_plan.level && !requisite)
    return {Verdict::LeftOut, "more than " + std::to_string(m_plan.level) + " links deep"};
  if (m_plan.robots && !requisite && m_robotsAllow) {
    if (std::optional<std::string> refused = m_robotsAllow(url, !redirect))
      return {Verdict::LeftOut, std::move(*refused)};
  }
  if (NameTaken(name, url, why))
    return {};
  // A page is read for its links all the same, as it must be fetched to be read; at the last
  // level, none of them would be taken.
  const bool leadsOn = m_plan.level == 0 || depth < m_plan.level;
  if (leadsOn && (name.empty() || IsHtmlName(ToLowerAscii(name))))
    return {Verdict::ReadOnly, why};
  return {Verdict::LeftOut, why};
}
