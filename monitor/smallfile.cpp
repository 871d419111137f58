#include "smallfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

SmallFileResult readSmallFile(const QString &path, qint64 limit, QByteArray *content)
{
    content->clear();
    const QByteArray name = path.toLocal8Bit();
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    Fd file{-1};
    do {
        file.fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (file.fd < 0 && errno == EINTR);
    if (file.fd < 0)
        return SmallFileResult::CannotOpen;

    struct stat st;
    if (::fstat(file.fd, &st) != 0)
        return SmallFileResult::ReadError;
    if (!S_ISREG(st.st_mode))
        return SmallFileResult::NotRegular;
    if (st.st_size > limit)
        return SmallFileResult::TooLarge;

    // The file may grow while it is read: never take more than the limit.
    QByteArray buffer;
    buffer.resize(int(limit) + 1);
    qint64 total = 0;
    while (total < buffer.size()) {
        ssize_t n = ::read(file.fd, buffer.data() + total, size_t(buffer.size() - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return SmallFileResult::ReadError;
        if (n == 0)
            break;
        total += n;
    }
    if (total > limit)
        return SmallFileResult::TooLarge;
    buffer.truncate(int(total));
    *content = buffer;
    return SmallFileResult::Ok;
}
