// The app's side of sharing a USB printer with the classic queue and the monitor.
#pragma once

#include <pappl/pappl.h>

bool isUsbUri(const char *uri);

// PAPPL stops a printer whose device it cannot open for a job, and opens it again every five
// seconds. On USB that is another program holding the printer for a moment (the classic
// queue's backend, the monitor's poll): the job that waits says the printer is busy.
void noteDeviceBusy(pappl_printer_t *printer);
