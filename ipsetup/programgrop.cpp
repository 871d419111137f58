#include "programgrop.h"

#include "formnames.h"
#include "netipset.h"
#include "ui_ProgramGrop.h"

#include <QProcess>
#include <QTextCodec>

namespace
{

const char pdfReader[] = "/opt/varn/ZLP5520NW/bin/usb/pdfReader";
const char userGuide[] = "/opt/varn/ZLP5520NW/doc/guide.pdf";

} // namespace

ProgramGrop::ProgramGrop(QWidget *parent) : QMainWindow(parent), ui(new Ui::ProgramGrop)
{
    ui->setupUi(this);
    publishFormNames(this);
}

ProgramGrop::~ProgramGrop()
{
    delete ui;
}

void ProgramGrop::on_pushButton_clicked()
{
    // Each press searches the printer anew. The dialog is a window of its own (no parent).
    dialogs.push_back(std::make_unique<netIpSet>());
    netIpSet *dialog = dialogs.back().get();
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->setWindowFlags(dialog->windowFlags() | Qt::Dialog);
    dialog->show();
}

void ProgramGrop::on_pushButton_2_clicked()
{
    // The reader's own status does not matter: a missing reader or guide simply returns.
    QProcess::execute(pdfReader, {userGuide});
}

void setupTextCodecs()
{
    QTextCodec *system = QTextCodec::codecForName("System");
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    if (system)
        QTextCodec::setCodecForLocale(system);
}
