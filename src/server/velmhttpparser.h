#pragma once
// A small zero-copy HTTP/1.x request-head parser. Every pointer it hands out points into the
// caller's buffer; nothing is copied or allocated.
#include <cstddef>

struct phr_header {
    const char* name;  // nullptr for a continuation line (its content is in value)
    size_t name_len;
    const char* value;
    size_t value_len;
};

// Parses the request head at buf[0..len).
// On entry *num_headers is the capacity of headers; on success it holds the number filled.
// last_len is the length already known not to hold a complete head (0 to parse from scratch).
// Returns the length of the head (> 0) including its empty line, -1 for a malformed head,
// -2 when the head is not complete yet.
int phr_parse_request(const char* buf, size_t len, const char** method, size_t* method_len,
                      const char** path, size_t* path_len, int* minor_version, struct phr_header* headers,
                      size_t* num_headers, size_t last_len);
