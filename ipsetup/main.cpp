// ipsetup: the launcher of the printer's network set-up.
#include "programgrop.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    setupTextCodecs();

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
