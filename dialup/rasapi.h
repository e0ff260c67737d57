#pragma once
// The RAS records and calls in their ANSI, version 4.0 shape: fixed byte
// arrays in code page 932, the caller's dwSize selecting the layout, and a
// too-small buffer failing with the size it would have needed.
#include "dialup/rasbackend.h"

#include <QByteArray>
#include <QString>
#include <cstddef>

using HRASCONN = quint32;

// Natural 4-byte alignment gives the Windows layout of these records.
struct RASENTRYNAMEA {
    quint32 dwSize;
    char szEntryName[257];
};
struct RASCONNA {
    quint32 dwSize;
    HRASCONN hrasconn;
    char szEntryName[257];
    char szDeviceType[17];
    char szDeviceName[129];
};
struct RASCONNSTATUSA {
    quint32 dwSize;
    qint32 rasconnstate;
    quint32 dwError;
    char szDeviceType[17];
    char szDeviceName[129];
};
struct RASDIALPARAMSA {
    quint32 dwSize;
    char szEntryName[257];
    char szPhoneNumber[129];
    char szCallbackNumber[129];
    char szUserName[257];
    char szPassword[257];
    char szDomain[16];
};

static_assert(sizeof(RASENTRYNAMEA) == 264);
static_assert(sizeof(RASCONNA) == 412);
static_assert(offsetof(RASCONNA, szEntryName) == 8);
static_assert(offsetof(RASCONNA, szDeviceName) == 282);
static_assert(sizeof(RASCONNSTATUSA) == 160);
static_assert(offsetof(RASCONNSTATUSA, szDeviceType) == 12);
static_assert(sizeof(RASDIALPARAMSA) == 1052);
static_assert(offsetof(RASDIALPARAMSA, szDomain) == 1033);

namespace ras {
// Text in code page 932, cut at a character boundary so that it fits a field
// of fieldSize bytes with its NUL; the field is filled with NULs after it.
void copyText(char *field, std::size_t fieldSize, const QString &text);
// A field's text up to its first NUL (or its end when it has none).
QString fieldText(const char *field, std::size_t fieldSize);
// The longest prefix of cp932 bytes of at most maxBytes that ends on a character boundary.
QByteArray cutAtCharBoundary(const QByteArray &bytes, int maxBytes);
} // namespace ras

// With a null backend every call fails as if the service were absent.
quint32 RasEnumEntriesA(RasBackend *backend, const char *reserved, const char *phonebook,
                        RASENTRYNAMEA *entries, quint32 *cb, quint32 *count);
quint32 RasEnumConnectionsA(RasBackend *backend, RASCONNA *conns, quint32 *cb, quint32 *count);
quint32 RasGetEntryDialParamsA(RasBackend *backend, const char *phonebook, RASDIALPARAMSA *params,
                               qint32 *passwordSaved);
quint32 RasDialA(RasBackend *backend, const void *extensions, const char *phonebook,
                 RASDIALPARAMSA *params, quint32 notifierType, const void *notifier,
                 HRASCONN *conn);
quint32 RasGetConnectStatusA(RasBackend *backend, HRASCONN conn, RASCONNSTATUSA *status);
quint32 RasHangUpA(RasBackend *backend, HRASCONN conn);
