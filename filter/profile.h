// What differs between the USB and the network filter as data. Each build
// links one definition of kProfile.
#pragma once

struct FilterProfile {
    const char *settingsPath;    // job settings file
    const char *printLogPath;    // print log
    const char *printerNameLine; // printer name line of the print log
    const char *stateFilePath;   // printer state file; nullptr: the build keeps none
    bool debugCopy;              // keep a copy of the stream in /var/tmp/qzt.prn
    bool verboseLog;             // option, key, header, page-count and stream run-log lines
    bool storeBackChannel;       // read the back channel after each block into the state file
    bool ioErrorIsDrainFailure;  // count drain I/O errors towards the cancel
    double trailerDrainSeconds;  // second drain, after the trailer
    double lockRereadSeconds;    // re-reads after a silent first lock reply
    bool catchSigint;
};

extern const FilterProfile kProfile;

// Between building the header and printing: the USB filter goes straight on,
// the network filter waits for the printer's permission.
void waitForPrinterLock();
// Asks the printer over the back channel whether it may take a job:
// 0 may print, 1 busy, 2 no usable answer.
int checkLockPrinter();
