// The POP3 session (Form1) of a check fed arbitrary server bytes in arbitrary
// pieces.
//
// Input: one byte of options (bit 0 settings test, 1 forwarding, 2-3 the
// seen-id store before, 4 the headers of new mail asked for, 5 a user name
// and password in Japanese), then events.
// An event byte 0xFF is the server closing, 0xFE the reply guard running out;
// any other value n is an arrival of the next n bytes. The connection is up
// before the first event, and the reply guard always runs out at the end, as
// it would.
//
// What must hold: only USER, PASS, LIST and UIDL go out, in that order, each
// after the replies it waits for, then (asked for) at most five TOP n 0; the
// session does nothing after it
// finished, and finishes exactly once; the check is over or its notice mail
// runs; the seen-id store changes only when the check succeeded, and
// then to exactly the listing the server sent.
#include "fuzz/recordinghost.h"
#include "platform/codepage.h"

#include <QFile>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

std::optional<QByteArray> readFile(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    return f.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    check(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size());
}

// The UIDL listing in the server's stream as the dialogue reads it: after
// the greeting and the replies to USER, PASS and LIST (with its lines up to
// one starting with "."), the UIDL status line, then up to the "." line.
std::optional<QByteArray> listingIn(QByteArrayView stream) {
    const QList<QByteArrayView> lines = fuzzsupport::crlfLines(stream);
    qsizetype i = 4;
    while (i < lines.size() && !lines[i].startsWith('.'))
        ++i;
    i += 2; // the "." of LIST and the UIDL status line
    QByteArray listing;
    for (; i < lines.size(); ++i) {
        listing.append(lines[i]);
        listing += "\r\n";
        if (lines[i] == QByteArrayView(".")) return listing;
    }
    return std::nullopt;
}

// The new mail the check logged: "N通の新着メールがあります" (０ for an
// empty mailbox).
qint64 newMail(const RecordingHost &host) {
    for (const QString &line : host.logLines) {
        const qsizetype end = line.indexOf(QStringLiteral("通の新着"));
        if (end > 0)
            return line.first(end) == QStringLiteral("０") ? 0 : line.first(end).toLongLong();
    }
    return -1;
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

    const QString dir = fuzzsupport::workDir();
    const QString store = UidStorePath(dir);
    QFile::remove(store);
    const UidList oldUids{"aa", "bb"};
    switch ((options >> 2) & 3) {
    case 1:
        writeFile(store, FormatUidStore(oldUids));
        break;
    case 2:
        writeFile(store, "x");
        break; // unreadable
    case 3:
        writeFile(store, QByteArray());
        break;
    default:
        break; // none yet
    }
    const std::optional<QByteArray> storeBefore = readFile(store);

    const bool wide = options & 32;
    SettingsRecord settings;
    settings.POP_Address = QStringLiteral("127.0.0.1");
    settings.POP_UserID = wide ? QStringLiteral("太郎") : QStringLiteral("taro");
    settings.POP_PassWord = wide ? QStringLiteral("秘密～") : QStringLiteral("secret");
    settings.Trf_Flag = (options & 2) ? 1 : 0;
    settings.Smtp_Address = QStringLiteral("127.0.0.1");
    settings.Trf_IPAddress = QStringLiteral("to@example.jp");
    const bool headers = options & 16;
    settings.connection.showHeaders = headers;
    const QList<QByteArray> commands{"USER " + cp932::encode(settings.POP_UserID) + "\r\n",
                                     "PASS " + cp932::encode(settings.POP_PassWord) + "\r\n",
                                     "LIST \r\n", "UIDL\r\n"};
    // Complete reply lines a command waits for before it may go out.
    const qsizetype linesBefore[] = {0, 2, 3, 5};

    QByteArray stream; // what the server sent, up to the current arrival
    int finished = 0;
    RecordingHost host(dir);
    MailCheck &mc = *host.check;
    if (options & 1)
        mc.startTest(settings, [](bool) {});
    else
        mc.DialStart(settings);
    Form1 *form = mc.findChild<Form1 *>();
    check(form != nullptr && host.links.size() == 1);
    MemoryLink &link = *host.links.first();
    QObject::connect(form, &Form1::statusChanged, form, [&] { check(finished == 0); });
    QObject::connect(form, &Form1::finished, form, [&] { check(++finished == 1); });
    // Each command goes out whole, in order, and only after the replies it
    // waits for.
    qsizetype sent = 0, tops = 0;
    const auto commandsSoFar = [&] {
        // Nothing can go out once finished: the session has closed the link.
        const QByteArray written = link.take();
        for (qsizetype at = 0; at < written.size();) {
            if (sent < commands.size()) {
                check(written.sliced(at).startsWith(commands[sent]));
                check(fuzzsupport::crlfLines(stream).size() >= linesBefore[sent]);
                at += commands[sent++].size();
                continue;
            }
            // Then, asked for, TOP n 0 for at most the five newest new ones.
            const qsizetype end = written.indexOf("\r\n", at);
            check(headers && end > at && ++tops <= 5);
            const QByteArray top = written.mid(at, end - at);
            check(top.startsWith("TOP ") && top.endsWith(" 0"));
            at = end + 2;
        }
    };

    link.accept();
    commandsSoFar();
    qsizetype pos = 1;
    bool closed = false;
    while (pos < input.size() && !closed) {
        const uint8_t event = uint8_t(input[pos++]);
        if (event == 0xFF) {
            link.hangUp();
            closed = true;
        } else if (event == 0xFE) {
            host.guardRunsOut();
        } else {
            const QByteArrayView chunk =
                input.sliced(pos, qMin<qsizetype>(event, input.size() - pos));
            pos += chunk.size();
            stream.append(chunk);
            link.reply(chunk);
        }
        commandsSoFar();
    }
    host.guardRunsOut();

    check(finished == 1 && !mc.pop3Running());
    check(!mc.running() || mc.noticeRunning());
    const std::optional<QByteArray> storeAfter = readFile(store);
    if (mc.retries() != 0) {
        check(mc.retries() == 1);
        check(storeAfter == storeBefore);
        return 0;
    }
    // Success: an empty mailbox empties the store; a listing replaces it.
    check(storeAfter.has_value());
    if (sent < 4) {
        check(sent == 3 && storeAfter->isEmpty() && newMail(host) <= 0);
        return 0;
    }
    const std::optional<QByteArray> listing = listingIn(stream);
    check(listing.has_value());
    const std::optional<UidList> uids = UidlDataSplit(*listing);
    check(uids.has_value() && *storeAfter == FormatUidStore(*uids));
    if (storeBefore && !storeBefore->isEmpty() && ((options >> 2) & 3) == 1)
        check(newMail(host) == qMin<qint64>(NewMailCount(*uids, oldUids), 32767));
    return 0;
}
