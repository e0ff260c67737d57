#include "dialup/rasapi.h"

#include "platform/codepage.h"

#include <cstring>

namespace ras {

namespace {
// Lead bytes of a two-byte character in code page 932.
bool isLeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
} // namespace

QByteArray cutAtCharBoundary(const QByteArray &bytes, int maxBytes) {
    int end = 0;
    while (end < bytes.size()) {
        const int step = isLeadByte(static_cast<unsigned char>(bytes[end])) ? 2 : 1;
        if (end + step > maxBytes || end + step > bytes.size()) break;
        end += step;
    }
    return bytes.left(end);
}

void copyText(char *field, std::size_t fieldSize, const QString &text) {
    std::memset(field, 0, fieldSize);
    if (fieldSize == 0) return;
    QByteArray bytes = cp932::encode(text);
    // A NUL inside would end the name early anyway; never copy past it.
    const qsizetype nul = bytes.indexOf('\0');
    if (nul >= 0) bytes.truncate(nul);
    bytes = cutAtCharBoundary(bytes, int(fieldSize) - 1);
    std::memcpy(field, bytes.constData(), std::size_t(bytes.size()));
}

QString fieldText(const char *field, std::size_t fieldSize) {
    const void *nul = std::memchr(field, 0, fieldSize);
    const std::size_t len = nul ? std::size_t(static_cast<const char *>(nul) - field) : fieldSize;
    return cp932::decode(QByteArrayView(field, qsizetype(len)));
}

} // namespace ras

quint32 RasEnumEntriesA(RasBackend *backend, const char *, const char *, RASENTRYNAMEA *entries,
                        quint32 *cb, quint32 *count) {
    if (!cb || !count) return raserr::InvalidParameter;
    if (entries && entries->dwSize != sizeof(RASENTRYNAMEA)) return raserr::InvalidSize;
    if (!backend) return raserr::ServiceAbsent;
    QStringList names;
    if (const quint32 rc = backend->entries(names)) return rc;
    const quint64 need = quint64(names.size()) * sizeof(RASENTRYNAMEA);
    *count = quint32(names.size());
    if (need > 0 && (!entries || *cb < need)) {
        *cb = quint32(need);
        return raserr::BufferTooSmall;
    }
    for (qsizetype i = 0; i < names.size(); ++i) {
        RASENTRYNAMEA &e = entries[i];
        std::memset(&e, 0, sizeof e);
        e.dwSize = sizeof(RASENTRYNAMEA);
        ras::copyText(e.szEntryName, sizeof e.szEntryName, names[i]);
    }
    *cb = quint32(need);
    return 0;
}

quint32 RasEnumConnectionsA(RasBackend *backend, RASCONNA *conns, quint32 *cb, quint32 *count) {
    if (!cb || !count) return raserr::InvalidParameter;
    if (conns && conns->dwSize != sizeof(RASCONNA)) return raserr::InvalidSize;
    if (!backend) return raserr::ServiceAbsent;
    QList<RasBackend::Link> links;
    if (const quint32 rc = backend->connections(links)) return rc;
    const quint64 need = quint64(links.size()) * sizeof(RASCONNA);
    *count = quint32(links.size());
    if (need > 0 && (!conns || *cb < need)) {
        *cb = quint32(need);
        return raserr::BufferTooSmall;
    }
    for (qsizetype i = 0; i < links.size(); ++i) {
        RASCONNA &c = conns[i];
        std::memset(&c, 0, sizeof c);
        c.dwSize = sizeof(RASCONNA);
        c.hrasconn = links[i].handle;
        ras::copyText(c.szEntryName, sizeof c.szEntryName, links[i].entryName);
        ras::copyText(c.szDeviceType, sizeof c.szDeviceType, links[i].deviceType);
        ras::copyText(c.szDeviceName, sizeof c.szDeviceName, links[i].deviceName);
    }
    *cb = quint32(need);
    return 0;
}

quint32 RasGetEntryDialParamsA(RasBackend *backend, const char *, RASDIALPARAMSA *params,
                               qint32 *passwordSaved) {
    if (!params || !passwordSaved) return raserr::InvalidParameter;
    if (params->dwSize != sizeof(RASDIALPARAMSA)) return raserr::InvalidSize;
    *passwordSaved = 0;
    // The connection manager keeps the entry's number and credentials to
    // itself and uses them when it dials; nothing of them is copied here.
    const QByteArray name(params->szEntryName, sizeof params->szEntryName);
    std::memset(params, 0, sizeof *params);
    params->dwSize = sizeof(RASDIALPARAMSA);
    std::memcpy(params->szEntryName, name.constData(), sizeof params->szEntryName);
    if (!backend) return raserr::ServiceAbsent;
    return backend->findEntry(ras::fieldText(params->szEntryName, sizeof params->szEntryName));
}

quint32 RasDialA(RasBackend *backend, const void *, const char *, RASDIALPARAMSA *params, quint32,
                 const void *, HRASCONN *conn) {
    if (!params || !conn) return raserr::InvalidParameter;
    *conn = 0;
    if (params->dwSize != sizeof(RASDIALPARAMSA)) return raserr::InvalidSize;
    if (!backend) return raserr::ServiceAbsent;
    quint32 handle = 0;
    const quint32 rc =
        backend->dial(ras::fieldText(params->szEntryName, sizeof params->szEntryName), handle);
    if (rc == 0) *conn = handle;
    return rc;
}

quint32 RasGetConnectStatusA(RasBackend *backend, HRASCONN conn, RASCONNSTATUSA *status) {
    if (!status) return raserr::InvalidParameter;
    if (status->dwSize != sizeof(RASCONNSTATUSA)) return raserr::InvalidSize;
    if (!backend) return raserr::ServiceAbsent;
    if (conn == 0) return raserr::InvalidHandle;
    RasBackend::Status s;
    if (const quint32 rc = backend->status(conn, s)) return rc;
    std::memset(status, 0, sizeof *status);
    status->dwSize = sizeof(RASCONNSTATUSA);
    status->rasconnstate = s.state;
    status->dwError = s.error;
    ras::copyText(status->szDeviceType, sizeof status->szDeviceType, s.deviceType);
    ras::copyText(status->szDeviceName, sizeof status->szDeviceName, s.deviceName);
    return 0;
}

quint32 RasHangUpA(RasBackend *backend, HRASCONN conn) {
    if (!backend) return raserr::ServiceAbsent;
    if (conn == 0) return raserr::InvalidHandle;
    return backend->hangUp(conn);
}
