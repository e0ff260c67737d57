#include "check/keyring.h"

#include "check/settingsfile.h"

#include <qt6keychain/keychain.h>

namespace keyring {

namespace {

const QString Service = QStringLiteral("quilmon7400");

QString describe(QKeychain::Error error, const QString &detail) {
    QString text;
    switch (error) {
    case QKeychain::NoError:
        return {};
    case QKeychain::EntryNotFound:
        // A locked keyring that could not ask for its password answers so too.
        text = QStringLiteral("キーリングにパスワードが見つかりません"
                              "（キーリングがロックされている可能性があります）");
        break;
    case QKeychain::AccessDeniedByUser:
        text = QStringLiteral("キーリングへのアクセスが拒否されました");
        break;
    case QKeychain::AccessDenied:
        text = QStringLiteral("キーリングがロックされているか、アクセスできません");
        break;
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
        text = QStringLiteral("キーリング（Secret Service）が見つかりません");
        break;
    case QKeychain::CouldNotDeleteEntry:
        text = QStringLiteral("キーリングからパスワードを削除できませんでした");
        break;
    case QKeychain::OtherError:
        // libsecret reports a service that is not there as a failed call.
        text = detail.contains(QLatin1String("org.freedesktop.secrets"))
                   ? QStringLiteral("キーリング（Secret Service）が見つかりません")
                   : QStringLiteral("キーリングを使えませんでした");
        break;
    }
    // The backend's own words say which service or collection failed.
    return detail.isEmpty() ? text : text + QStringLiteral("（") + detail + QStringLiteral("）");
}

void run(QKeychain::Job *job, const QString &key, QObject *context, Done done) {
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    job->setKey(key);
    QObject::connect(job, &QKeychain::Job::finished, context,
                     [done = std::move(done)](QKeychain::Job *j) {
                         Result r;
                         r.ok = j->error() == QKeychain::NoError;
                         r.missing = j->error() == QKeychain::EntryNotFound;
                         if (auto *read = qobject_cast<QKeychain::ReadPasswordJob *>(j))
                             r.secret = read->textData();
                         r.error = describe(j->error(), r.missing ? QString() : j->errorString());
                         if (done) done(r);
                     });
    job->start();
}

} // namespace

QString popKey(const SettingsRecord &s) {
    return QStringLiteral("pop3:%1@%2").arg(s.POP_UserID, s.POP_Address);
}

QString smtpKey(const SettingsRecord &s) {
    const QString user = s.connection.smtpUser.isEmpty() ? s.POP_UserID : s.connection.smtpUser;
    return QStringLiteral("smtp:%1@%2").arg(user, s.Smtp_Address);
}

QString oauthKey(const SettingsRecord &s) {
    return QStringLiteral("oauth:%1@%2").arg(s.POP_UserID, s.connection.oauthProvider);
}

bool oauthSeparate(const SettingsRecord &s) {
    return s.connection.signIn == ConnectionSettings::SignIn::OAuth && !s.connection.oauthDesktop;
}

bool smtpSeparate(const SettingsRecord &s) {
    return s.connection.smtpAuth && !s.connection.smtpPassword.isEmpty();
}

void read(const QString &key, QObject *context, Done done) {
    run(new QKeychain::ReadPasswordJob(Service), key, context, std::move(done));
}

void write(const QString &key, const QString &secret, QObject *context, Done done) {
    auto *job = new QKeychain::WritePasswordJob(Service);
    job->setTextData(secret);
    run(job, key, context, std::move(done));
}

void remove(const QString &key, QObject *context, Done done) {
    run(new QKeychain::DeletePasswordJob(Service), key, context, [done](const Result &r) {
        Result out = r;
        if (r.missing) out = Result{true, true, {}, {}};
        if (done) done(out);
    });
}

} // namespace keyring
