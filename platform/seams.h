#pragma once
// platform/: what the program needs of the system, in Linux terms: code page
// 932, TcpLink, atomic files, folders, the single-copy lock, desktop
// notifications.
//
// Seams: what a test replaces below the windows: the clock, the timer
// intervals and waits, the ports, the folders of the files and the platform
// services. Production fills it with the real values (Seams::production()).
// The windows' hooks are in AppSeams (app/appseams.h).
#include "platform/oauth.h"

#include <QDBusConnection>
#include <QDateTime>
#include <QString>
#include <functional>

class Link;
class DialService;

struct Seams {
    std::function<QDateTime()> now;
    int schedulerTickMs = 1000; // main.Timer1
    int linkTickMs = 500;       // main.Timer2, the link monitor
    int guardMs = 60000;        // connect and reply guards of Form1 and Form3
    // A whole check, POP3 and notice, however its server trickles (the
    // dial-up before it excluded). A 100,000-message check takes seconds.
    int checkDeadlineMs = 5 * 60 * 1000;
    int hangUpWaitMs = 3000;    // the pause after a hang-up
    int linkErrorWaitMs = 1000; // the pause after a link error
    quint16 popPort = 110;
    quint16 smtpPort = 25;
    // PEM certificates the secure connections trust; empty: the system's
    // trust store. Never a way to skip verification.
    QString caFile;
    // The connection of each POP3 or SMTP session, handed to it; empty: a
    // TcpLink. The tests hand in-memory ones.
    std::function<Link *()> makeLink;
    // Where the files live: beside a portable copy, or in the user's XDG
    // folders for an installed one (platform/folders.h).
    QString configDir; // quil7400.dat, quil7400.conf
    QString stateDir;  // quil7400.log, quilmon.dat, quil7400.lock
    QString helpFile;
    // The settings folders of this user's copies that keep passwords in the
    // keyring, one a line, shared by all of them; empty: none kept.
    QString keyringCopies;
    QString folderError;         // non-empty: no usable place; the user is told why
    DialService *dial = nullptr; // dial-up service; not owned
    // The desktop session's bus (notifications, GNOME Online Accounts),
    // opened on first use.
    std::function<QDBusConnection()> sessionBus;
    // The system bus, where logind tells of sleep and NetworkManager of the
    // network; empty: neither is listened to.
    std::function<QDBusConnection()> systemBus;
    // After a wake or the network's return, the check of a missed minute
    // waits this long for the network to settle.
    int catchUpDelayMs = 5000;
    // OAuth 2.0: the providers (empty: the built-in ones), the POST to their
    // token endpoints (empty: libcurl, with caFile), and how long a sign-in
    // waits for the browser's redirect.
    QList<OAuthProvider> oauthProviders;
    oauth::HttpPost httpPost;
    int signInWaitMs = 5 * 60 * 1000;

    static Seams production();
};
