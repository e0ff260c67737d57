#include "dialup/tasktry.h"

namespace TaskTry {

QString RasStateText(qint32 state) {
    switch (state) {
    case 0:
        return QStringLiteral("ポートオープン中...");
    case 1:
        return QStringLiteral("ポートオープン完了");
    case 2:
        return QStringLiteral("デバイスと接続中...");
    case 3:
        return QStringLiteral("デバイスと接続完了");
    case 4:
        return QStringLiteral("接続完了（リンク確立）");
    case 5:
        return QStringLiteral("認証完了");
    case 6:
        return QStringLiteral("認証通知");
    case 7:
        return QStringLiteral("新規認証");
    case 8:
        return QStringLiteral("サーバー側でコールバック");
    case 9:
        return QStringLiteral("クライアント側から、パスワード変更依頼");
    case 10:
        return QStringLiteral("開始");
    case 11:
        return QStringLiteral("リンク速度計算開始");
    case 12:
        return QStringLiteral("認証確認済");
    case 13:
        return QStringLiteral("コールバック後開始");
    case 14:
        return QStringLiteral("認証完了");
    case 15:
        return QStringLiteral("コールバックに備えて、切断中");
    case 16:
        return QStringLiteral("コールバックに備えて、リセット中...");
    case 17:
        return QStringLiteral("サーバーよりコールバック待ち...");
    case 18:
        return QStringLiteral("RASCS_AuthProject後に発生");
    case 19:
        return QStringLiteral("(Windows95)ユーザー認証中...");
    case 20:
        return QStringLiteral("(Windows95)コールバック待ち");
    case 21:
        return QStringLiteral("(Windows95)ネットワークにログオンしている");
    case 4096:
    case 4097:
    case 4098:
    case 4099:
        return QStringLiteral("RASPHONE.EXE");
    case 8192:
        return QStringLiteral("接続");
    case 8193:
        return QStringLiteral("切断");
    default:
        return QStringLiteral("不明なステータス");
    }
}

} // namespace TaskTry
