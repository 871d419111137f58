// Whether a print job owns the printer: a job of our queue in the listing and a running
// filter process. Both builds; which queue and which listing arguments is the profile's.
#include "jobwatch.h"
#include "mainwindow.h"
#include "profile.h"

#include <QDebug>
#include <QStringList>

namespace
{

// The listing runs on the GUI thread: this is as long as the window may freeze for it.
constexpr int kListingTimeoutMs = 30000;
// Tens of thousands of jobs; anything longer is not a listing and is cut.
constexpr qint64 kListingByteLimit = 8 << 20;

constexpr const char *kUsbQueue = "ZLP5520NW";
constexpr const char *kNetQueue = "ZLP5520NW-net";
constexpr const char *kProcDir = "/proc";

QStringList listingArguments()
{
    QStringList arguments;
    for (const char *argument : kMonitorProfile.lpstatArguments) {
        if (!argument)
            break;
        arguments << QString::fromLatin1(argument);
    }
    return arguments;
}

} // namespace

bool MainWindow::checkPrintJob()
{
    const jobwatch::ListingRun run = jobwatch::runListing(
        QStringLiteral("lpstat"), listingArguments(), kListingTimeoutMs, kListingByteLimit);
    if (!run.started)
        qDebug() << "lpstat could not be started";
    else if (run.timedOut)
        qDebug() << "lpstat did not finish in" << kListingTimeoutMs << "ms; stopped";
    else if (run.truncated)
        qDebug() << "lpstat wrote more than" << kListingByteLimit << "bytes; stopped";

    const jobwatch::QueueMentions mentions = jobwatch::countQueueMentions(
        std::string_view(run.output.constData(), size_t(run.output.size())), kUsbQueue, kNetQueue);
    qDebug().noquote() << QStringLiteral("usbPrinter Job= %1, netPrinter Job= %2")
                              .arg(mentions.usbQueue)
                              .arg(mentions.netQueue);
    return kMonitorProfile.jobOnNetworkQueue ? jobwatch::netJobListed(mentions)
                                             : jobwatch::usbJobListed(mentions);
}

void MainWindow::checkPrintingProcess()
{
    // Any user can run a program by the filter's name; only the one CUPS started counts.
    // cupsd reads its user once at start-up, so the monitor does too.
    static const std::optional<uid_t> filterUid = jobwatch::filterUidOfSystem();
    if (!filterUid) {
        // No such user: no filter can run, so the printer is free to be asked.
        qDebug() << "no user for the filters in" << jobwatch::kCupsFilesConf;
        printing_ = false;
        return;
    }
    const auto entries = jobwatch::listProcessEntries(kProcDir);
    if (!entries) {
        // Nothing looked at: the flag keeps what the last scan found.
        qDebug() << "the process list can not be read!";
        return;
    }
    const jobwatch::ProcessScan scan =
        jobwatch::findProcess(kProcDir, *entries, kMonitorProfile.filterProcessName, *filterUid);
    // A process that ended between the listing and the read is skipped, not taken for the
    // end of the list.
    for (int i = 0; i < scan.vanished; ++i)
        qDebug() << "the pid stat file can not open!";
    if (scan.impostors > 0)
        qDebug() << scan.impostors << "process(es) named" << kMonitorProfile.filterProcessName
                 << "not run by uid" << *filterUid << "ignored";
    printing_ = scan.found;
}
