// Registering the network queue with CUPS and recording the printer's address for the
// network monitor. The commands run with argument lists, never through a shell.
#pragma once

#include <QString>
#include <QStringList>

namespace registration
{

extern const char queueName[];   // "ZLP5520NW-net"
extern const char lpadminPath[]; // "/usr/sbin/lpadmin"
extern const char cupsInitScript[];
extern const char netIpInfoPath[];

struct Command {
    QString program;
    QStringList arguments;
    bool operator==(const Command &other) const
    {
        return program == other.program && arguments == other.arguments;
    }
};

// lpadmin -p ZLP5520NW-net -m ZLP5520NW-net.ppd -v socket://IP:9100 -E
Command addQueueCommand(const QString &ip);
// lpadmin -d ZLP5520NW-net
Command defaultQueueCommand();
// The init script when it exists, else "service cups restart".
Command restartCommand(bool initScriptExists);

// How a finished (or unfinished) command went, as the reason texts need it.
struct CommandOutcome {
    bool started = false;
    bool timedOut = false;
    int exitCode = 0;
    QString errorOutput;
    bool succeeded() const { return started && !timedOut && exitCode == 0; }
};

// The reason, in words a user can act on, why lpadmin failed.
QString lpadminFailureReason(const CommandOutcome &outcome);
// The reason why the address file could not be written, from errno.
QString fileFailureReason(int error);

// What informationAdmin shows after a registration; the success text is the one users know.
extern const char successText[]; // "添加网络打印机成功！"
QString queueFailureText(const QString &reason);
QString addressFileFailureText(const QString &reason);

// Runs a command to its end (or its time-out, when it is killed) with its standard input
// closed, in a session of its own so that it can never stop to ask for a password on the
// terminal ipsetup was started from, and with messages in English so they can be read.
CommandOutcome runCommand(const Command &command, int timeoutMs);

// Writes the address, without a line end, into the file: a temporary file beside it, then a
// rename, so the monitor never reads half an address. Returns 0 or the errno of the failure.
int writeAddressFile(const QString &path, const QString &ip);

// The queue for a checked address: the queue, the default destination, then the service
// restart (its result does not matter: CUPS needs none for lpadmin's changes). Stops at the
// first lpadmin that fails; the text is then the failure text for informationAdmin.
struct Result {
    bool ok = false;
    QString text;
};
Result registerNetworkQueue(const QString &ip);

} // namespace registration
