// Reads WARC files with warcio, an archive library no one here wrote, and prints one JSON line
// per record: its type, address and fields, and whether its digests hold for the bytes read.
import { createHash } from "node:crypto";
import { createReadStream } from "node:fs";
import { WARCParser } from "warcio";

const alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
function base32(bytes) {
  let bits = 0, value = 0, out = "";
  for (const byte of bytes) {
    value = (value << 8) | byte;
    bits += 8;
    while (bits >= 5) {
      out += alphabet[(value >>> (bits - 5)) & 31];
      bits -= 5;
    }
  }
  if (bits > 0) out += alphabet[(value << (5 - bits)) & 31];
  return out;
}
const sha1 = (bytes) => "sha1:" + base32(createHash("sha1").update(bytes).digest());

// The payload of a chunked body: what its chunks carry.
function dechunk(body) {
  const parts = [];
  let at = 0;
  for (;;) {
    const end = body.indexOf("\r\n", at);
    if (end < 0) return null;
    const size = parseInt(body.subarray(at, end).toString("latin1").split(";")[0], 16);
    if (Number.isNaN(size)) return null;
    if (size === 0) return Buffer.concat(parts);
    parts.push(body.subarray(end + 2, end + 2 + size));
    at = end + 2 + size + 2;
  }
}

async function read(file) {
  const parser = new WARCParser(createReadStream(file), { parseHttp: false });
  for await (const record of parser) {
    const fields = record.warcHeaders.headers;
    const block = Buffer.from(await record.readFully(false));
    const line = {
      file,
      type: record.warcType,
      uri: record.warcTargetURI ?? null,
      id: fields.get("WARC-Record-ID"),
      concurrentTo: fields.get("WARC-Concurrent-To") ?? null,
      profile: fields.get("WARC-Profile") ?? null,
      truncated: fields.get("WARC-Truncated") ?? null,
      length: block.length,
      blockOk: fields.get("WARC-Block-Digest") === sha1(block),
    };
    if (record.warcType === "response" || record.warcType === "revisit" ||
        record.warcType === "request") {
      const split = block.indexOf("\r\n\r\n");
      const head = block.subarray(0, split).toString("latin1");
      line.firstLine = head.split("\r\n")[0];
      line.head = head;
      let payload = block.subarray(split + 4);
      const chunked = /\r\ntransfer-encoding:[^\r]*chunked/i.test(head);
      if (chunked) payload = dechunk(payload);
      // A body shorter than its head announced, which a record must say it cut.
      const length = /\r\ncontent-length:[ \t]*(\d+)/i.exec(head);
      line.short = record.warcType === "response" && !/^\S+ (1\d\d|204|304)\b/.test(line.firstLine) &&
          (chunked ? payload === null : length !== null && payload.length < Number(length[1]));
      const expected = fields.get("WARC-Payload-Digest");
      if (expected && record.warcType === "response")
        line.payloadOk = payload !== null && expected === sha1(payload);
      line.payloadDigest = expected ?? null;
    } else {
      line.text = block.toString("utf8");
    }
    console.log(JSON.stringify(line));
  }
}

// A file cut inside its last record (a crawl killed) gives the whole records before it, then a
// line that says where reading stopped.
for (const file of process.argv.slice(2)) {
  try {
    await read(file);
  } catch (error) {
    console.log(JSON.stringify({ file, error: String(error) }));
  }
}
