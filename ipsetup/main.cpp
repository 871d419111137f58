// ipsetup: the launcher of the printer's network set-up.
#include "programgrop.h"

#include <QApplication>
#include <QTextCodec>

int main(int argc, char *argv[])
{
    // Text streams (the address file) write in the system's encoding.
    QTextCodec *system = QTextCodec::codecForName("System");
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    if (system)
        QTextCodec::setCodecForLocale(system);

    QApplication app(argc, argv);
    int status;
    {
        ProgramGrop window;
        window.show();
        status = app.exec();
    }
    return status;
}
