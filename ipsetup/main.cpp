// ipsetup: the launcher of the printer's network set-up.
#include "programgrop.h"

#include <QApplication>
#include <QIcon>
#include <QTextCodec>

int main(int argc, char *argv[])
{
    // Text streams (the address file) write in the system's encoding.
    QTextCodec *system = QTextCodec::codecForName("System");
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    if (system)
        QTextCodec::setCodecForLocale(system);

    QApplication app(argc, argv);
    app.setWindowIcon(QIcon(QStringLiteral(":/oemSetup.ico")));
    int status;
    {
        ProgramGrop window;
        window.show();
        status = app.exec();
    }
    return status;
}
