#pragma once
// The variables every window shares. They outlive every window but main's
// owner, so a worker that unloads leaves its results here.
#include <QString>
#include <QtGlobal>

struct SharedState {
    // Configuration copies, refreshed by Test and SetDataWrite.
    QString POP_Address;
    QString POP_PassWord;
    QString POP_UserID;
    QString Smtp_Address;
    QString Trf_IPAddress;
    QString Smtp_mail_address;
    // Run state: 0 idle, 1 settings test, 2 monitoring.
    qint16 Flag = 0;
    // 0 check running, 1 finished (hang up), 2 finished (keep the link).
    qint16 Dup_End_Flag = 0;
    // Failures in a row of the current check.
    qint16 Retry_Flag = 0;
    QString Log_File;
    // Form1's public variables: they keep their values after it unloads.
    qint16 New_mail_number = 0;
    qint16 New_mail_number2 = 0;
    qint16 TX_flg = 0;
};

// 16-bit counters stop at the top instead of wrapping.
inline qint16 saturatingAdd(qint16 a, qint64 b) {
    const qint64 sum = qint64(a) + b;
    return qint16(qBound(qint64(-32768), sum, qint64(32767)));
}
