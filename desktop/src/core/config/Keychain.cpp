#include "config/Keychain.h"

#include <QLoggingCategory>
#include <QStringDecoder>

#include <libsecret/secret.h>

Q_LOGGING_CATEGORY(lcKeychain, "velmo.keychain")

namespace {
const SecretSchema *schema() {
    // DONT_MATCH_NAME: items are found by their two attributes alone.
    static const SecretSchema s = {"com.tarnwick.velmoremote.desktop.Password",
                                   SECRET_SCHEMA_DONT_MATCH_NAME,
                                   {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                   0,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};
    return &s;
}
} // namespace

namespace Keychain {

std::optional<QString> get(const QString &key) {
    GError *error = nullptr;
    const QByteArray account = key.toUtf8();
    gchar *pw = secret_password_lookup_sync(schema(), nullptr, &error, "service", service, "account",
                                            account.constData(), nullptr);
    if (error) {
        qCDebug(lcKeychain) << "lookup failed:" << error->message;
        g_error_free(error);
        return std::nullopt;
    }
    if (!pw)
        return std::nullopt;
    const QByteArray bytes(pw);
    secret_password_free(pw);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString value = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return value;
}

void set(const QString &key, const QString &value) {
    const QByteArray account = key.toUtf8();
    GError *error = nullptr;
    secret_password_clear_sync(schema(), nullptr, &error, "service", service, "account", account.constData(), nullptr);
    if (error) {
        qCDebug(lcKeychain) << "clear failed:" << error->message;
        g_clear_error(&error);
    }
    if (value.isEmpty())
        return;
    const QByteArray bytes = value.toUtf8();
    secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, "Velmo Remote administrator token",
                               bytes.constData(), nullptr, &error, "service", service, "account", account.constData(),
                               nullptr);
    if (error) {
        qCDebug(lcKeychain) << "store failed:" << error->message;
        g_error_free(error);
    }
}

} // namespace Keychain
