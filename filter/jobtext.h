// Pure text helpers of the filter: making submitted values safe, and a
// fixed-size line buffer that never overflows and keeps every line whole.
#pragma once

#include <cstddef>
#include <string>

// Replaces every byte below 0x20 and 0x7F with a space. User names, titles and
// option values come from whoever submits the job; a line feed or ESC in them
// would let that person inject commands into the printer stream, or status
// lines into CUPS through standard error.
std::string sanitizeValue(const std::string &value);

// The text with every digit of a secure-print key written as '*': the digits
// after "securityPasswd = " and after "HOLDKEY=". The key releases a held job
// at the printer; the run log reaches cupsd's log, which others may read.
std::string hideKey(const std::string &text);

// Appends formatted lines to a zero-terminated buffer of fixed capacity. A line
// is formatted in a 256-byte scratch buffer first; a value too long for the
// line or for the buffer is cut (at a UTF-8 character boundary) so that the
// line still ends in its line feed.
class LineBuffer
{
  public:
    static constexpr size_t kLineSize = 256;

    LineBuffer(char *buffer, size_t capacity);

    void clear();
    void append(const char *text);
    // "%s%s\n" and "%s\"%s\"\n" forms: command, then value, quoted or not.
    void appendValue(const char *command, const std::string &value, bool quoted = false);
    void appendNumber(const char *command, long value);

    const char *data() const { return buffer_; }
    size_t size() const { return used_; }

  private:
    void appendLine(const char *line, size_t length);

    char *buffer_;
    size_t capacity_;
    size_t used_ = 0;
};

// Length of the longest prefix of text[0, limit) that ends on a UTF-8 boundary.
size_t utf8Cut(const char *text, size_t limit);
