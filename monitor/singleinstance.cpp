#include "singleinstance.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The per-user runtime folder when the session has one (private to the user), else the
// shared temporary folder, where the user id in the name keeps users apart.
QString lockFolder()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        struct stat st;
        if (::stat(runtime.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid())
            return QString::fromLocal8Bit(runtime);
    }
    return QDir::tempPath();
}

} // namespace

QString SingleInstance::idFor(const QString &executablePath, unsigned int uid)
{
    const QByteArray hash =
        QCryptographicHash::hash(executablePath.toUtf8(), QCryptographicHash::Sha1).toHex();
    return QStringLiteral("varn-monitor-%1-%2").arg(QString::fromLatin1(hash.left(16))).arg(uid);
}

SingleInstance::SingleInstance()
{
    QString path = QCoreApplication::applicationFilePath();
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (!canonical.isEmpty())
        path = canonical;
    id_ = idFor(path, ::getuid());

    const QByteArray lockPath = (lockFolder() + QLatin1Char('/') + id_ + ".lock").toLocal8Bit();
    do {
        lockFd_ = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (lockFd_ < 0 && errno == EINTR);
    if (lockFd_ < 0) {
        qDebug() << "single instance: cannot open" << lockPath << ::strerror(errno);
        return;
    }
    struct stat st;
    if (::fstat(lockFd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
        // Someone else's file under our name: do not let it decide.
        qDebug() << "single instance: lock file not ours:" << lockPath;
        ::close(lockFd_);
        lockFd_ = -1;
        return;
    }
    int rc;
    do {
        rc = ::flock(lockFd_, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        running_ = errno == EWOULDBLOCK;
        if (!running_)
            qDebug() << "single instance: cannot lock" << lockPath << ::strerror(errno);
        ::close(lockFd_);
        lockFd_ = -1;
        return;
    }

    // We own the identity: a socket left by a killed copy is ours to replace.
    server_ = new QLocalServer;
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(id_);
    if (!server_->listen(id_))
        qDebug() << "single instance: cannot listen:" << server_->errorString();
}

SingleInstance::~SingleInstance()
{
    delete server_;
    if (lockFd_ >= 0)
        ::close(lockFd_);
}
