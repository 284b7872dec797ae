#pragma once

// What an answer's record says of it: its status, its digests, and whether and how it was cut.
#include <string>
#include <string_view>

#include "crawl/archive/warc_record.h"
#include "platform/wire_recorder.h"

// The status an answer's head gives, 0 when it gives none.
int StatusOf(std::string_view head);
// The WARC-Truncated value of a cut, nothing for an answer that came whole.
const char* CutName(WireCut cut);
// The answer's block digest (head and body as they came) and payload digest (the body with its
// chunked framing taken off, content coding kept), and whether the body came short; false when
// a spilled body cannot be read back.
bool AnswerDigests(const std::string& request, const std::string& head, const RecordBody& body,
                   std::string& blockDigest, std::string& payloadDigest, bool& cameShort);
