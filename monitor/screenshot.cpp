// Renders the monitor window in a few states into PNG files, for the README. Not
// installed. Usage: monitor_screenshot OUTDIR (run under a display, e.g. xvfb-run).
#include "mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));

    // No panel to wait for: the pictures are of the window alone.
    MainWindow window(nullptr, false);

    const struct {
        const char *name;
        int code; // 0: the start-up state
    } states[] = {
        {"monitor-startup", 0},
        {"monitor-normal", 10001},
        {"monitor-warning", 62122},
        {"monitor-error", 44114},
    };
    for (const auto &state : states) {
        if (state.code != 0)
            window.justStatusCodeShow(state.code);
        window.show();
        for (int i = 0; i < 10; ++i)
            QApplication::processEvents();
        const QString path = out.filePath(QString::fromLatin1(state.name) + ".png");
        if (!window.grab().save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        std::printf("%s\n", qPrintable(path));
    }
    return 0;
}
