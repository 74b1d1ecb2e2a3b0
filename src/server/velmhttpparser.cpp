#include "server/velmhttpparser.h"

namespace {

constexpr int kMalformed = -1;
constexpr int kIncomplete = -2;

// RFC 7230 tchar: ALPHA / DIGIT / "!#$%&'*+-.^_`|~".
bool IsTokenChar(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
        case '-': case '.': case '^': case '_': case '`': case '|': case '~':
            return true;
        default:
            return false;
    }
}

bool IsPathByte(unsigned char c) { return c > 0x20 && c != 0x7F; }

bool IsValueByte(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7F); }

class Cursor {
public:
    Cursor(const char* buf, size_t len) : p_(reinterpret_cast<const unsigned char*>(buf)), begin_(p_), end_(p_ + len) {}

    bool AtEnd() const { return p_ == end_; }
    unsigned char Peek() const { return *p_; }
    void Advance() { ++p_; }
    const char* Pos() const { return reinterpret_cast<const char*>(p_); }
    size_t Offset() const { return static_cast<size_t>(p_ - begin_); }

    // Consumes a line end (CR LF or a lone LF). Returns 1 when consumed, 0 when the current
    // byte is no line end, kIncomplete or kMalformed.
    int LineEnd() {
        if (AtEnd()) return kIncomplete;
        if (*p_ == '\n') {
            ++p_;
            return 1;
        }
        if (*p_ != '\r') return 0;
        ++p_;
        if (AtEnd()) return kIncomplete;
        if (*p_ != '\n') return kMalformed;
        ++p_;
        return 1;
    }

private:
    const unsigned char* p_;
    const unsigned char* begin_;
    const unsigned char* end_;
};

// Reads a header value up to its line end; trailing blanks are cut off.
int ReadValue(Cursor& c, const char** value, size_t* value_len) {
    const char* start = c.Pos();
    const char* lastNonBlank = start;
    for (;;) {
        if (c.AtEnd()) return kIncomplete;
        unsigned char b = c.Peek();
        if (b == '\r' || b == '\n') break;
        if (!IsValueByte(b)) return kMalformed;
        c.Advance();
        if (b != ' ' && b != '\t') lastNonBlank = c.Pos();
    }
    int r = c.LineEnd();
    if (r != 1) return r;
    *value = start;
    *value_len = static_cast<size_t>(lastNonBlank - start);
    return 1;
}

int ParseHeaders(Cursor& c, phr_header* headers, size_t* num_headers) {
    const size_t capacity = *num_headers;
    size_t count = 0;
    for (;;) {
        int end = c.LineEnd();
        if (end == 1) break;  // empty line: end of the head
        if (end < 0) return end;
        if (count == capacity) return kMalformed;
        phr_header& h = headers[count];
        unsigned char first = c.Peek();
        if (first == ' ' || first == '\t') {
            if (count == 0) return kMalformed;
            while (!c.AtEnd() && (c.Peek() == ' ' || c.Peek() == '\t')) c.Advance();
            h.name = nullptr;
            h.name_len = 0;
        } else {
            const char* name = c.Pos();
            while (!c.AtEnd() && IsTokenChar(c.Peek())) c.Advance();
            if (c.AtEnd()) return kIncomplete;
            if (c.Peek() != ':' || c.Pos() == name) return kMalformed;
            h.name = name;
            h.name_len = static_cast<size_t>(c.Pos() - name);
            c.Advance();
            while (!c.AtEnd() && (c.Peek() == ' ' || c.Peek() == '\t')) c.Advance();
        }
        int r = ReadValue(c, &h.value, &h.value_len);
        if (r != 1) return r;
        ++count;
    }
    *num_headers = count;
    return 1;
}

}  // namespace

int phr_parse_request(const char* buf, size_t len, const char** method, size_t* method_len, const char** path,
                      size_t* path_len, int* minor_version, phr_header* headers, size_t* num_headers,
                      size_t /*last_len*/) {
    Cursor c(buf, len);

    // One empty line before the request line is tolerated.
    int lead = c.LineEnd();
    if (lead < 0) return lead;

    const char* m = c.Pos();
    while (!c.AtEnd() && IsTokenChar(c.Peek())) c.Advance();
    if (c.AtEnd()) return kIncomplete;
    if (c.Peek() != ' ' || c.Pos() == m) return kMalformed;
    const size_t mlen = static_cast<size_t>(c.Pos() - m);

    while (!c.AtEnd() && c.Peek() == ' ') c.Advance();
    const char* p = c.Pos();
    while (!c.AtEnd() && IsPathByte(c.Peek())) c.Advance();
    if (c.AtEnd()) return kIncomplete;
    if (c.Peek() != ' ' || c.Pos() == p) return kMalformed;
    const size_t plen = static_cast<size_t>(c.Pos() - p);

    while (!c.AtEnd() && c.Peek() == ' ') c.Advance();
    static const char kVersion[] = "HTTP/1.";
    for (const char* v = kVersion; *v != '\0'; ++v) {
        if (c.AtEnd()) return kIncomplete;
        if (c.Peek() != static_cast<unsigned char>(*v)) return kMalformed;
        c.Advance();
    }
    if (c.AtEnd()) return kIncomplete;
    if (c.Peek() < '0' || c.Peek() > '9') return kMalformed;
    const int minor = c.Peek() - '0';
    c.Advance();
    int eol = c.LineEnd();
    if (eol == 0) return kMalformed;
    if (eol < 0) return eol;

    phr_header scratch[1];
    size_t count = *num_headers;
    phr_header* slots = headers != nullptr ? headers : scratch;
    if (headers == nullptr) count = 0;
    int r = ParseHeaders(c, slots, &count);
    if (r != 1) return r;

    *method = m;
    *method_len = mlen;
    *path = p;
    *path_len = plen;
    *minor_version = minor;
    *num_headers = count;
    return static_cast<int>(c.Offset());
}
