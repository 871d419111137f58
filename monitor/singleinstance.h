// One running copy per executable and per user. The first copy holds an advisory lock on
// a file named after its own executable path and the user, and listens on a local socket
// of the same name; a later copy finds the lock taken and leaves without contacting it.
// The kernel drops the lock when its holder dies, so a killed monitor blocks nothing.
#pragma once

#include <QString>

class QLocalServer;

class SingleInstance
{
  public:
    // The identity comes from the executable's own path (as the application object sees
    // it) and the real user id.
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // true when another copy owns the identity. When the lock cannot be taken for any
    // other reason the answer is false: better two monitors than none.
    bool isRunning() const { return running_; }

    const QString &id() const { return id_; }

    // The identity of an executable path for a user, as a short name.
    static QString idFor(const QString &executablePath, unsigned int uid);

  private:
    QString id_;
    int lockFd_ = -1;
    bool running_ = false;
    QLocalServer *server_ = nullptr;
};
