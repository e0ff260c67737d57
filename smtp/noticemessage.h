#pragma once
// The notice mail handed to the SMTP server after its "354": three header
// lines, then the empty line, the body and the end-of-data line.
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// The four sends of the message, each ending in CR LF. senderText is the
// sender field as typed (empty: the product name stands in the From line);
// settingsTest sends "TEST MAIL" instead of the count. lines follow the
// count line, in ISO-2022-JP, each cut to 76 bytes.
QList<QByteArray> noticeMessageSends(const QString &senderText, bool settingsTest, qint16 count,
                                     const QStringList &lines = {});

// The sends of the secure dialogue: Date and Message-ID (RFC 5322 3.6.1,
// 3.6.4), the From line with its blank, To and MIME-Version around the same
// message. idDomain names this sender in the id.
QList<QByteArray> secureNoticeMessageSends(const QString &senderText, bool settingsTest,
                                           qint16 count, const QDateTime &date,
                                           const QByteArray &idDomain, const QString &recipient,
                                           const QStringList &lines = {});

// The envelope sender used when the sender field is empty.
QByteArray fixedEnvelopeSender();
