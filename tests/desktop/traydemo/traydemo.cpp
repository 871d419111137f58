// A small tray program that exercises the desktop stand-in the way the monitors do: a tray
// icon with a tooltip, balloons of each kind, and a window whose texts are read and whose
// button is pressed from outside through the accessibility bus.
//
//   zlp-traydemo [KIND:MSECS:TITLE:TEXT]...
//
// KIND is none, information, warning or critical. The balloons follow each other 300 ms apart.
#include "ui_traydemo.h"

#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace
{

struct Balloon {
    QSystemTrayIcon::MessageIcon kind;
    int msecs;
    QString title;
    QString text;
};

bool parseBalloon(const QString &arg, Balloon *balloon)
{
    const QStringList parts = arg.split(QLatin1Char(':'));
    if (parts.size() < 4)
        return false;
    static const QList<QPair<QString, QSystemTrayIcon::MessageIcon>> kinds = {
        {QStringLiteral("none"), QSystemTrayIcon::NoIcon},
        {QStringLiteral("information"), QSystemTrayIcon::Information},
        {QStringLiteral("warning"), QSystemTrayIcon::Warning},
        {QStringLiteral("critical"), QSystemTrayIcon::Critical}};
    bool known = false;
    for (const auto &kind : kinds) {
        if (kind.first == parts[0]) {
            balloon->kind = kind.second;
            known = true;
        }
    }
    bool number = false;
    balloon->msecs = parts[1].toInt(&number);
    balloon->title = parts[2];
    balloon->text = parts.mid(3).join(QLatin1Char(':'));
    return known && number;
}

QIcon trayIcon()
{
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0x2e, 0x7d, 0x32));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(2, 2, 18, 18);
    return QIcon(pixmap);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QList<Balloon> balloons;
    for (const QString &arg : app.arguments().mid(1)) {
        Balloon balloon;
        if (!parseBalloon(arg, &balloon)) {
            std::fprintf(stderr, "zlp-traydemo: bad balloon %s (KIND:MSECS:TITLE:TEXT)\n",
                         qPrintable(arg));
            return 2;
        }
        balloons.append(balloon);
    }

    QWidget window;
    Ui::TrayDemo form;
    form.setupUi(&window);
    QObject::connect(form.copyButton, &QPushButton::clicked, &window,
                     [&form] { form.echoLabel->setText(form.nameEdit->text()); });

    QMenu menu;
    QObject::connect(menu.addAction(QStringLiteral("隐藏窗口")), &QAction::triggered, &window,
                     &QWidget::hide);
    menu.addSeparator();
    QObject::connect(menu.addAction(QStringLiteral("退出")), &QAction::triggered, &app,
                     &QCoreApplication::quit);
    QSystemTrayIcon tray(trayIcon());
    tray.setContextMenu(&menu);
    // Clicks on the icon are answered with a balloon naming the click.
    QObject::connect(&tray, &QSystemTrayIcon::activated, &tray,
                     [&tray](QSystemTrayIcon::ActivationReason reason) {
                         tray.showMessage(QStringLiteral("点击"), QString::number(reason),
                                          QSystemTrayIcon::Information, 2000);
                     });
    tray.setToolTip(QStringLiteral("Demo ready"));
    QTextStream(stdout) << "tray available: "
                        << (QSystemTrayIcon::isSystemTrayAvailable() ? "yes" : "no") << Qt::endl;
    tray.show();
    window.show();

    int delay = 300;
    for (const Balloon &balloon : balloons) {
        QTimer::singleShot(delay, &tray, [&tray, balloon] {
            tray.showMessage(balloon.title, balloon.text, balloon.kind, balloon.msecs);
        });
        delay += 300;
    }
    return app.exec();
}
