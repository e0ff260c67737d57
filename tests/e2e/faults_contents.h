#pragma once
// The two versions of the seen-id store and of the settings file that
// faults_rewriter alternates between. Large enough that a kill often lands
// in the middle of a write.
#include "check/settingsfile.h"
#include "pop3/uidstore.h"

namespace faults {

inline UidList uids(char version) {
    UidList out;
    const int n = version == 'a' ? 6000 : 4000;
    for (int i = 0; i < n; ++i)
        out.append(QByteArray(1, version) + QByteArray::number(i) + "-0123456789abcdef");
    return out;
}

inline SettingsRecord settings(char version) {
    SettingsRecord r;
    const QString big(version == 'a' ? 150000 : 90000, QChar(version == 'a' ? u'甲' : u'乙'));
    r.POP_Address = QStringLiteral("pop.example.jp");
    r.POP_PassWord = big;
    r.Smtp_Address = QStringLiteral("smtp.example.jp");
    r.Trf_IPAddress = QStringLiteral("to@example.jp");
    r.POP_UserID = version == 'a' ? QStringLiteral("taro") : QStringLiteral("hanako");
    r.Check_Interval = version == 'a' ? 4 : 2;
    r.Trf_Flag = 1;
    r.Quiet_Start = QStringLiteral("0:00");
    r.Quiet_End = QStringLiteral("0:00");
    return r;
}

} // namespace faults
