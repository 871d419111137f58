#include "registration.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace registration
{

const char queueName[] = "ZLP5520NW-net";
const char lpadminPath[] = "/usr/sbin/lpadmin";
const char cupsInitScript[] = "/etc/init.d/cups";
const char netIpInfoPath[] = "/opt/varn/ZLP5520NW/bin/net/config/netIpInfo";
const char successText[] = "添加网络打印机成功！";

namespace
{

constexpr int lpadminTimeoutMs = 30000;
constexpr int restartTimeoutMs = 60000;

class DetachedFromTerminal : public QProcess
{
  protected:
    void setupChildProcess() override { ::setsid(); }
};

bool mentions(const QString &text, std::initializer_list<const char *> words)
{
    for (const char *word : words) {
        if (text.contains(QLatin1String(word), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace

Command addQueueCommand(const QString &ip)
{
    return {lpadminPath,
            {"-p", queueName, "-m", "ZLP5520NW-net.ppd", "-v", "socket://" + ip + ":9100", "-E"}};
}

Command defaultQueueCommand()
{
    return {lpadminPath, {"-d", queueName}};
}

Command restartCommand(bool initScriptExists)
{
    if (initScriptExists)
        return {cupsInitScript, {"restart"}};
    return {"service", {"cups", "restart"}};
}

QString lpadminFailureReason(const CommandOutcome &outcome)
{
    if (!outcome.started)
        return QStringLiteral("无法运行 %1，请确认已安装 CUPS").arg(lpadminPath);
    if (outcome.timedOut)
        return QStringLiteral("lpadmin 无响应，请检查 CUPS 服务");
    // lpadmin warns that PPD drivers are deprecated on every -m, success or not.
    QStringList lines = outcome.errorOutput.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const QString &line) { return line.contains("deprecated"); }),
                lines.end());
    const QString text = lines.join(QLatin1Char('\n'));
    if (mentions(text,
                 {"forbidden", "unauthorized", "not authorized", "permission denied", "password"}))
        return QStringLiteral("没有管理打印机的权限，请把当前用户加入 lpadmin 组后重新登录，或以管理员（root）身份运行");
    if (mentions(text, {"unable to connect", "connection refused", "bad file descriptor"}))
        return QStringLiteral("无法连接 CUPS 服务，请确认 CUPS 已启动");
    if (mentions(text, {"ppd", "model", "driver"}))
        return QStringLiteral("找不到驱动文件 ZLP5520NW-net.ppd，请重新安装驱动");
    QString detail = lines.isEmpty() ? QString() : lines.first().trimmed();
    if (detail.isEmpty())
        return QStringLiteral("lpadmin 出错（退出码 %1）").arg(outcome.exitCode);
    return QStringLiteral("lpadmin 出错（退出码 %1）：%2").arg(outcome.exitCode).arg(detail);
}

QString fileFailureReason(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return QStringLiteral("没有写入权限，请把当前用户加入 lpadmin 组后重新登录，或以管理员（root）身份运行");
    case ENOENT:
    case ENOTDIR:
        return QStringLiteral("目录不存在，请重新安装驱动");
    case EROFS:
        return QStringLiteral("文件系统只读");
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("磁盘空间不足");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

QString queueFailureText(const QString &reason)
{
    return QStringLiteral("添加网络打印机失败：") + reason;
}

QString addressFileFailureText(const QString &reason)
{
    return QStringLiteral("网络打印机已添加，但未能保存打印机地址：") + reason;
}

CommandOutcome runCommand(const Command &command, int timeoutMs)
{
    CommandOutcome outcome;
    DetachedFromTerminal process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LC_ALL", "C");
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(command.program, command.arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(timeoutMs)) {
        qDebug().noquote() << "cannot start" << command.program << process.errorString();
        return outcome;
    }
    outcome.started = true;
    if (!process.waitForFinished(timeoutMs)) {
        outcome.timedOut = true;
        process.kill();
        process.waitForFinished(1000);
        qDebug().noquote() << command.program << "timed out";
        return outcome;
    }
    outcome.errorOutput = QString::fromLocal8Bit(process.readAllStandardError());
    outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (!outcome.succeeded())
        qDebug().noquote() << command.program << "exit" << outcome.exitCode
                           << outcome.errorOutput.trimmed();
    return outcome;
}

int writeAddressFile(const QString &path, const QString &ip)
{
    const QByteArray target = QFile::encodeName(path);
    QByteArray temporary = target + ".XXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return errno;
    const QByteArray text = ip.toLocal8Bit();
    int error = 0;
    for (qsizetype done = 0; done < text.size() && error == 0;) {
        ssize_t n = ::write(fd, text.constData() + done, static_cast<size_t>(text.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        else
            done += n;
    }
    // The monitor runs as the desktop user: it must be able to read what root writes here.
    if (error == 0 && ::fchmod(fd, 0644) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.constData(), target.constData()) != 0)
        error = errno;
    if (error != 0)
        ::unlink(temporary.constData());
    return error;
}

Result registerNetworkQueue(const QString &ip)
{
    for (const Command &command : {addQueueCommand(ip), defaultQueueCommand()}) {
        CommandOutcome outcome = runCommand(command, lpadminTimeoutMs);
        if (!outcome.succeeded())
            return {false, queueFailureText(lpadminFailureReason(outcome))};
    }
    runCommand(restartCommand(QFileInfo::exists(cupsInitScript)), restartTimeoutMs);
    return {true, successText};
}

} // namespace registration
