// What Ghostscript writes on its standard error (its own messages and all that
// a document prints, -sstdout=%stderr) made into run-log lines. None of it may
// reach cupsd as a control line ("PPD:", "STATE:", "ATTR:" ...), and a chatty
// document may neither hold the rasterizer up nor fill our memory.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class RasterizerMessages
{
  public:
    static constexpr size_t kLineBytes = 240;     // of text per line; the rest is cut
    static constexpr size_t kBudgetBytes = 65536; // of text per job; the rest is dropped

    // Takes bytes as they come and appends each finished line, as a whole
    // "DEBUG:" run-log line, to `lines`. A line keeps the whole UTF-8
    // characters that are no control (C0, DEL, C1); other bytes go.
    void feed(const char *data, size_t length, std::vector<std::string> &lines);
    // At the end: the last unfinished line and the count of what was dropped.
    void finish(std::vector<std::string> &lines);

  private:
    void endLine(std::vector<std::string> &lines);
    void append(const std::string &character);

    std::string line_;    // the text so far: whole UTF-8 characters, no control, at most kLineBytes
    bool cut_ = false;    // the current line went over kLineBytes
    std::string pending_; // a UTF-8 character begun
    int need_ = 0;        // its bytes still to come
    size_t logged_ = 0;   // bytes of text logged so far
    size_t dropped_ = 0;  // lines dropped over the budget
};
