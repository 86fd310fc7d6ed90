#pragma once
// A check of text from the network before any JSON library reads it: exactly
// one JSON value as the standard grammar defines it (RFC 8259) and nothing
// more. No comments, no single-quoted strings, no bare words, no data after
// the value, no byte-order mark; no member name twice in one object (compared
// after unescaping); no NUL, lone surrogate or invalid UTF-8 in a string; at
// most `maxDepth` nested arrays and objects. The check itself recurses at most
// `maxDepth` levels, so no input can exhaust the stack.

#include <cstddef>
#include <cstdint>

namespace pppp {

bool IsStrictJson(const uint8_t* data, size_t size, int maxDepth);

}  // namespace pppp
