#include "usbdevice.h"

#include "lockexchange.h"

#include <cstring>

bool isUsbUri(const char *uri)
{
    return uri && std::strncmp(uri, "usb://", 6) == 0;
}

void noteDeviceBusy(pappl_printer_t *printer)
{
    // A processing job on a stopped printer is one whose device would not open: a printer
    // paused by its administrator stops only once its job is done.
    if (papplPrinterGetState(printer) != IPP_PSTATE_STOPPED)
        return;
    papplPrinterIterateActiveJobs(
        printer,
        [](pappl_job_t *job, void *) {
            if (papplJobGetState(job) != IPP_JSTATE_PROCESSING)
                return;
            papplJobSetMessage(job, "%s", kBusyMessage);
            papplLogJob(job, PAPPL_LOGLEVEL_INFO,
                        "The printer is in use by another program: waiting for it.");
        },
        nullptr, 1, 0);
}
