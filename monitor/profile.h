// What differs between the USB and the network monitor as data. Each build links one
// definition of kMonitorProfile; behaviour that differs lives in statuscheck_usb.cpp and
// statuscheck_net.cpp.
#pragma once

struct MonitorProfile {
    const char *windowTitle;
    int pollIntervalMs; // status poll timer

    // Start-up: an optional balloon of its own (nullptr: none), then the window's texts.
    const char *startupBalloonTitle;
    const char *startupBalloonMessage;
    const char *startupTitle;
    const char *startupText;

    // true: a balloon only when the tray state changes; false: on every status display.
    bool balloonOnChangeOnly;
    int balloonMs[4]; // balloon duration by tray state index 0..3

    bool hasHideKind;          // kind 4 hides the window
    bool doubleClickKeepsOpen; // a window opened by double-click survives the window timer
    bool closeRepeatsNotice;   // closing the window shows the last balloon again

    const char *printerInfoPath; // settings of the last job, written by the filter
    const char *stateFilePath;   // the filter's printer state file; nullptr: none

    // Job watch: lpstat's arguments (nullptr-terminated) and which queue's jobs count.
    const char *lpstatArguments[4];
    bool jobOnNetworkQueue; // true: any job of ZLP5520NW-net; false: a job of ZLP5520NW
    const char *filterProcessName;
};

extern const MonitorProfile kMonitorProfile;
