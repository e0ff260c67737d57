// Shows one window alone for a screenshot:
// windows_show tray|verdisp|assist|form4|connection|prompt|help <file>.
// "tray" adds the icon and answers its clicks with the menu; choosing 終了
// removes the icon and ends.
#include "app/icons.h"
#include "app/verdisp.h"
#include "windows/assist.h"
#include "windows/connection.h"
#include "windows/form4.h"
#include "windows/helpviewer.h"
#include "windows/passwordprompt.h"
#include "windows/twips.h"

#include <QApplication>
#include <QLineEdit>
#include <QTimeZone>
#include <cstdio>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    installProgramLook(); // as main() does
    const QString what = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();

    QWidget settings; // stands for the hidden settings window
    auto *text3 = new QLineEdit(&settings);
    QObject::connect(text3, &QLineEdit::textChanged, [](const QString &t) {
        std::printf("Text3=%s\n", t.toUtf8().constData());
        std::fflush(stdout);
    });

    if (what == u"tray") {
        auto *icons = new Icons([&settings] { return settings.isVisible(); });
        auto *tray = icons->findChild<QSystemTrayIcon *>();
        QObject::connect(tray, &QSystemTrayIcon::activated,
                         [](QSystemTrayIcon::ActivationReason reason) {
                             const char *names[] = {"unknown", "right click", "double click",
                                                    "left click", "middle click"};
                             std::printf("activated: %s\n", names[qBound(0, int(reason), 4)]);
                             std::fflush(stdout);
                         });
        icons->addTrayIcon();
        std::printf("tray available: %d, added: %d\n",
                    int(QSystemTrayIcon::isSystemTrayAvailable()), int(tray->isVisible()));
        std::fflush(stdout);
        QObject::connect(icons, &Icons::endClicked, [icons] {
            icons->removeTrayIcon();
            std::printf("icon removed\n");
            std::fflush(stdout);
            QCoreApplication::exit(0);
        });
    } else if (what == u"verdisp") {
        (new VerDisp)->show();
    } else if (what == u"assist") {
        auto *a = new Assist;
        QObject::connect(a, &Assist::addressChosen, [&app, text3](const QString &address) {
            if (!address.isEmpty()) text3->setText(address);
            app.quit();
        });
        QObject::connect(a, &Assist::cancelled, &app, &QCoreApplication::quit);
        a->show();
    } else if (what == u"form4") {
        auto *f = new Form4;
        f->setMessage(QStringLiteral("5通の新着メールがあります"));
        f->show();
    } else if (what == u"connection") {
        // Submission with authentication, and a POP3 certificate refused.
        ConnectionSettings c;
        c.popSecurity = ConnectionSettings::Security::Tls;
        c.smtpSecurity = ConnectionSettings::Security::StartTls;
        c.smtpAuth = true;
        c.smtpFrom = QStringLiteral("taro@example.jp");
        c.smtpAccepted = {QStringLiteral("smtp.example.jp"), 587,
                          QStringLiteral("5a").repeated(32)};
        c.desktopNotify = true;
        c.keyring = true;
        auto *d = new ConnectionDialog(c, {});
        d->setAutostart(true);
        d->setRefused(false, {QStringLiteral("pop.example.jp"),
                              995,
                              QStringLiteral("0123456789abcdef").repeated(4),
                              QStringLiteral("発行者が不明"),
                              {QStringLiteral("CN=pop.example.jp"),
                               {QStringLiteral("pop.example.jp")},
                               QStringLiteral("CN=pop.example.jp"),
                               QDateTime(QDate(2026, 1, 1), QTime(12, 0), QTimeZone::utc()),
                               QDateTime(QDate(2027, 1, 1), QTime(12, 0), QTimeZone::utc())}});
        QObject::connect(d, &ConnectionDialog::settingsAccepted, &app, &QCoreApplication::quit);
        QObject::connect(d, &ConnectionDialog::cancelled, &app, &QCoreApplication::quit);
        d->show();
    } else if (what == u"prompt") {
        // The keyring could give neither password.
        auto *p = new PasswordPrompt(
            QStringLiteral(
                "「pop3:taro@pop.example.jp」: キーリング（Secret Service）が見つかりません"),
            true, QStringLiteral("pop3:taro@pop.example.jp"), true,
            QStringLiteral("smtp:taro@example.jp@smtp.example.jp"));
        QObject::connect(p, &PasswordPrompt::entered, &app, &QCoreApplication::quit);
        QObject::connect(p, &PasswordPrompt::cancelled, &app, &QCoreApplication::quit);
        p->show();
    } else if (what == u"help" && argc > 2) {
        openHelpFile(QString::fromLocal8Bit(argv[2]));
    } else {
        std::fprintf(
            stderr,
            "usage: windows_show tray|verdisp|assist|form4|connection|prompt|help <file>\n");
        return 2;
    }
    return app.exec();
}
