// The notice mail session (Form3) of a check fed arbitrary server bytes in
// arbitrary pieces.
//
// Input: one byte of options (bit 0 settings test, 1 a sender field in
// Japanese, 3 a destination in angle brackets), then events. An event byte
// 0xFE is the reply guard running out; any other value n is an arrival of the
// next n bytes. The connection is up before the first event, and the reply
// guard always runs out at the end, as it would. A scheduled check sends the
// notice of the three new mails its POP3 session found; a settings test sends
// "TEST MAIL" after its POP3 session found an empty mailbox.
//
// What must hold: only the dialogue's lines go out, in order, each after the
// replies it waits for, and at most one QUIT, last; the message only after a
// "354"; the session does nothing after it finished, and finishes exactly
// once; the check logs one line, ends, and sends the notice again at the
// next start unless it went out or the server refused it. A TLS record in
// place of the greeting names the port's security and sends nothing.
#include "fuzz/recordinghost.h"
#include "platform/codepage.h"
#include "smtp/noticemessage.h"

#include <QFile>
#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Complete reply lines (LF ends a line; a CR before it is not part of it).
QList<QByteArrayView> replyLines(QByteArrayView stream) {
    QList<QByteArrayView> lines;
    qsizetype start = 0;
    for (;;) {
        const qsizetype lf = stream.indexOf('\n', start);
        if (lf < 0) return lines;
        QByteArrayView line = stream.sliced(start, lf - start);
        if (line.endsWith('\r')) line.chop(1);
        lines << line;
        start = lf + 1;
    }
}

bool is354(QByteArrayView line) {
    return line.startsWith("354") && (line.size() == 3 || line[3] == ' ');
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzsupport::startQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    const uint8_t options = data[0];

    const bool test = options & 1;
    SettingsRecord settings;
    settings.POP_Address = QStringLiteral("127.0.0.1");
    settings.POP_UserID = QStringLiteral("taro");
    settings.POP_PassWord = QStringLiteral("secret");
    settings.Trf_Flag = 1;
    settings.Smtp_Address = QStringLiteral("127.0.0.1");
    settings.Smtp_mail_address =
        (options & 2) ? QStringLiteral("太郎 <taro@example.jp>") : QString();
    settings.Trf_IPAddress =
        (options & 8) ? QStringLiteral("<to@example.jp>") : QStringLiteral("to@example.jp");
    settings.connection.showHeaders = false; // the notice as designed, after UIDL

    QByteArray stream;     // what the server sent, up to the current arrival
    qsizetype dataAt = -1; // where the arrival that saw DATA go out began
    qsizetype arrivalStart = 0;
    QList<QByteArray> sent;
    int finished = 0;
    const QString dir = fuzzsupport::workDir();
    QFile::remove(UidStorePath(dir)); // three new mails, every time
    RecordingHost host(dir);
    MailCheck &mc = *host.check;
    if (test)
        mc.startTest(settings, [](bool) {});
    else
        mc.DialStart(settings);
    check(host.links.size() == 1);
    host.links[0]->accept();
    host.links[0]->reply(
        test ? "+OK\r\n+OK\r\n+OK\r\n+OK 0\r\n"
             : "+OK\r\n+OK\r\n+OK\r\n+OK 3\r\n.\r\n+OK\r\n1 a\r\n2 b\r\n3 c\r\n.\r\n");
    Form3 *form = mc.findChild<Form3 *>();
    check(form != nullptr && host.links.size() == 2);
    MemoryLink &link = *host.links[1];
    const qsizetype logFrom = host.logLines.size();

    const QString &senderText = settings.Smtp_mail_address;
    const QByteArray sender =
        senderText.isEmpty() ? fixedEnvelopeSender() : cp932::encode(senderText);
    const QList<QByteArray> message = noticeMessageSends(senderText, test, test ? 0 : 3);
    QList<QByteArray> dialogue{"HELO kkkk \r\n", "MAIL FROM:<" + sender + ">\r\n",
                               "RCPT TO:" + cp932::encode(settings.Trf_IPAddress) + "\r\n",
                               "DATA\r\n"};
    const qsizetype firstPart = dialogue.size();
    dialogue << message;
    const QByteArray quit = "QUIT \r\n";

    QObject::connect(form, &Form3::statusChanged, form, [&] { check(finished == 0); });
    QObject::connect(form, &Form3::finished, form, [&] { check(++finished == 1); });
    // What went out since the last event, taken apart into the dialogue's sends.
    const auto sendsSoFar = [&] {
        const QByteArray written = link.take();
        for (qsizetype at = 0; at < written.size();) {
            check(sent.isEmpty() || sent.last() != quit);
            const QByteArrayView rest = QByteArrayView(written).sliced(at);
            const qsizetype k = sent.size();
            QByteArray bytes;
            if (rest.startsWith(quit)) {
                bytes = quit;
            } else {
                check(k < dialogue.size() && rest.startsWith(dialogue[k]));
                bytes = dialogue[k];
                // One reply at least per step: the greeting and a reply to each command.
                check(replyLines(stream).size() >= qMin(k, firstPart) + 1);
                if (k == firstPart - 1) dataAt = arrivalStart;
                if (k == firstPart) {
                    // A "354" came after the reply that DATA answered.
                    check(dataAt >= 0);
                    const QList<QByteArrayView> lines =
                        replyLines(QByteArrayView(stream).sliced(dataAt));
                    check(std::any_of(lines.begin(), lines.end(), is354));
                }
            }
            sent << bytes;
            at += bytes.size();
        }
    };

    link.accept();
    qsizetype pos = 1;
    while (pos < input.size()) {
        const uint8_t event = uint8_t(input[pos++]);
        if (event == 0xFE) {
            host.guardRunsOut();
        } else {
            const QByteArrayView chunk =
                input.sliced(pos, qMin<qsizetype>(event, input.size() - pos));
            pos += chunk.size();
            arrivalStart = stream.size();
            stream.append(chunk);
            link.reply(chunk);
        }
        sendsSoFar();
    }
    host.guardRunsOut();
    sendsSoFar();

    check(finished == 1 && !mc.running() && host.logLines.size() == logFrom + 1);
    const QString &outcome = host.logLines.last();
    const bool allSent = sent.size() == dialogue.size() + 1 && sent.last() == quit;
    // Whether the next scheduled start sends this notice again.
    mc.DialStart(settings);
    const bool again = host.links.size() == 3 && host.links[2]->port == 25;
    if (outcome.startsWith(u'|')) {
        check(allSent && !again && host.passes == (test ? 1 : 0));
    } else if (outcome == QStringLiteral("送信サーバエラー")) {
        // Refused once the whole message went out: it is not sent again.
        check(!sent.isEmpty() && sent.last() == quit && again == !allSent);
        check(host.passes == 0);
    } else if (outcome.endsWith(QStringLiteral(
                   "はSSL/TLS用です（接続設定の暗号化で「SSL/TLS」を選んでください）"))) {
        // A TLS record where the greeting should be: nothing was said to it.
        check((stream.startsWith("\x15\x03") || stream.startsWith("\x16\x03")) && sent.isEmpty());
        check(again && host.passes == 0);
    } else {
        check(outcome == QStringLiteral("送信サーバタイムアウト") && again);
        check(host.passes == 0);
    }
    return 0;
}
