#pragma once

#include <string>

#include "platform/browser_pipe.h"

// What the page renderer says to the browser: the scripts it runs in pages, and how it judges a
// request a page makes.
namespace render_protocol {

using Json = BrowserPipe::Json;

// Before a page's own scripts: dialogs, windows and service workers tamed.
extern const char* const kTame;
// One screen further down; whether the end of the page is in view.
extern const char* const kScroll;
// The page's links as its scripts left them.
extern const char* const kLinks;
// Settles once the page's thread has nothing left to do: what it was just given is read.
extern const char* const kIdle;

// The icon a browser looks for on its own where a page names none.
bool BrowsersOwn(const Json& paused);
// Whether a paused request is one a page reads, which the crawl may answer.
bool Readable(const Json& paused);
// The header lines of an answer the crawl gives a page.
Json AnswerHeaders(const std::string& contentType, const std::string& location);
// Every request paused before it is sent.
Json EveryRequest();
// New targets attached, paused until they are set up.
Json PausedChildren();
// An address as the crawl keeps it: without its fragment, its dot segments resolved.
std::string Normal(const std::string& url);

}  // namespace render_protocol
