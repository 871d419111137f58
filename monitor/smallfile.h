// Reading the small files that other programs rewrite while the monitor runs (the job
// settings, the printer state, the printer's address). Bounded in size and time: a FIFO,
// a device or a huge file is refused instead of read, and never blocks.
#pragma once

#include <QByteArray>
#include <QString>

enum class SmallFileResult {
    Ok,
    CannotOpen, // missing, or no permission
    NotRegular, // a directory, FIFO, device...
    TooLarge,   // larger than the limit: not a file our programs wrote
    ReadError,
};

// Reads the whole of `path` into *content when it is a regular file of at most `limit`
// bytes; otherwise *content is left empty.
SmallFileResult readSmallFile(const QString &path, qint64 limit, QByteArray *content);

// The limit for every settings and state file of the suite: each holds a few lines.
constexpr qint64 kSmallFileLimit = 64 * 1024;
