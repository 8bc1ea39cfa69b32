#include "config/AppConfig.h"

#include "config/JsonSettingsFormat.h"
#include "config/Keychain.h"

#include <QMutex>
#include <QRegularExpression>
#include <QThreadPool>
#include <QTimer>
#include <QWaitCondition>

#include <memory>

namespace {
const QString tokenKey = QStringLiteral("adminToken");
}

QString AppConfig::defaultServer() {
    return QStringLiteral("http://127.0.0.1:8787");
}

AppConfig::AppConfig(const QString &settingsFile, QObject *parent)
    : QObject(parent), m_d(std::make_unique<QSettings>(settingsFile, JsonSettingsFormat::format())) {
    const QVariant server = m_d->value("server");
    m_server = server.typeId() == QMetaType::QString ? server.toString() : defaultServer();

    readAdminToken();

    const QVariant preset = m_d->value("preset");
    m_preset = preset.typeId() == QMetaType::QString ? preset.toString() : QStringLiteral("balanced");
    const QVariant videoPref = m_d->value("videoPref");
    m_videoPref = videoPref.typeId() == QMetaType::QString ? videoPref.toString() : QStringLiteral("h264");
    const QVariant cursor = m_d->value("cursor");
    m_showCursor = cursor.typeId() == QMetaType::Bool ? cursor.toBool() : false;
    const QVariant volume = m_d->value("volume");
    const int volumeType = volume.typeId();
    m_volume = (volumeType == QMetaType::Double || volumeType == QMetaType::LongLong || volumeType == QMetaType::Int)
                   ? volume.toDouble()
                   : 1.0;

    const QVariant recents = m_d->value("recents");
    if (recents.typeId() == QMetaType::QByteArray)
        m_recents = DeviceEntry::decodeList(recents.toByteArray());
    const QVariant favorites = m_d->value("favorites");
    if (favorites.typeId() == QMetaType::QByteArray)
        m_favorites = DeviceEntry::decodeList(favorites.toByteArray());

    const QVariant menuBarOnly = m_d->value("menuBarOnly");
    m_menuBarOnly = menuBarOnly.typeId() == QMetaType::Bool ? menuBarOnly.toBool() : false;
}

AppConfig::~AppConfig() = default;

void AppConfig::readAdminToken() {
    // The keyring is asked on a worker: a Secret Service that is slow to start, or one
    // that never answers (D-Bus gives up after 25 s), must not keep the window from
    // appearing. A quick answer is taken here; a late one when it comes.
    struct Read {
        QMutex mutex;
        QWaitCondition done;
        bool finished = false;
        std::optional<QString> value;
    };
    auto read = std::make_shared<Read>();
    QThreadPool::globalInstance()->start([read] {
        // Worker thread of the global pool.
        std::optional<QString> value = Keychain::get(tokenKey);
        QMutexLocker lock(&read->mutex);
        read->value = std::move(value);
        read->finished = true;
        read->done.wakeAll();
    });
    {
        QMutexLocker lock(&read->mutex);
        if (read->finished || read->done.wait(&read->mutex, QDeadlineTimer(keyringWaitMs))) {
            const std::optional<QString> value = read->value;
            lock.unlock();
            adoptAdminToken(value);
            return;
        }
    }
    auto *poll = new QTimer(this);
    poll->setInterval(100);
    connect(poll, &QTimer::timeout, this, [this, poll, read] {
        QMutexLocker lock(&read->mutex);
        if (!read->finished)
            return;
        const std::optional<QString> value = read->value;
        lock.unlock();
        poll->deleteLater();
        if (m_adminTokenSet)
            return; // the user's own token wins over what the keyring held
        const QString before = m_adminToken;
        adoptAdminToken(value);
        if (m_adminToken != before)
            Q_EMIT adminTokenChanged();
    });
    poll->start();
}

void AppConfig::adoptAdminToken(const std::optional<QString> &stored) {
    m_adminToken = stored.value_or(QString());
    if (m_adminToken.isEmpty()) {
        // Older versions kept the token in the settings file.
        const QVariant old = m_d->value(tokenKey);
        if (old.typeId() == QMetaType::QString && !old.toString().isEmpty()) {
            Keychain::set(tokenKey, old.toString());
            m_d->remove(tokenKey);
            m_adminToken = old.toString();
        }
    }
}

void AppConfig::setServer(const QString &v) {
    const bool changed = v != m_server;
    m_server = v;
    static const QRegularExpression trailingSlashes(QStringLiteral("/+$"));
    m_d->setValue("server", QString(v).remove(trailingSlashes));
    m_d->sync();
    if (changed)
        Q_EMIT serverChanged();
}

void AppConfig::setAdminToken(const QString &v) {
    const bool changed = v != m_adminToken;
    m_adminToken = v;
    m_adminTokenSet = true;
    Keychain::set(tokenKey, v);
    if (changed)
        Q_EMIT adminTokenChanged();
}

void AppConfig::setPreset(const QString &v) {
    store(m_preset, v, "preset", &AppConfig::presetChanged);
}

void AppConfig::setVideoPref(const QString &v) {
    store(m_videoPref, v, "videoPref", &AppConfig::videoPrefChanged);
}

void AppConfig::setShowCursor(bool v) {
    store(m_showCursor, v, "cursor", &AppConfig::showCursorChanged);
}

void AppConfig::setVolume(double v) {
    store(m_volume, v, "volume", &AppConfig::volumeChanged);
}

void AppConfig::storeList(const char *key, const QList<DeviceEntry> &list) {
    m_d->setValue(key, DeviceEntry::encodeList(list));
    m_d->sync();
}

void AppConfig::setRecents(const QList<DeviceEntry> &v) {
    const bool changed = v != m_recents;
    m_recents = v;
    storeList("recents", v);
    if (changed)
        Q_EMIT recentsChanged();
}

void AppConfig::setFavorites(const QList<DeviceEntry> &v) {
    const bool changed = v != m_favorites;
    m_favorites = v;
    storeList("favorites", v);
    if (changed)
        Q_EMIT favoritesChanged();
}

void AppConfig::setMenuBarOnly(bool v) {
    store(m_menuBarOnly, v, "menuBarOnly", &AppConfig::menuBarOnlyChanged);
}

Quality AppConfig::quality() const {
    return presets().value(m_preset, presets().value("balanced"));
}

void AppConfig::addRecent(const QString &id, const QString &name) {
    QList<DeviceEntry> list = m_recents;
    list.removeIf([&](const DeviceEntry &e) { return e.id == id; });
    list.prepend(DeviceEntry{id, name, std::nullopt});
    if (list.size() > maxRecents)
        list.resize(maxRecents);
    setRecents(list);
}

bool AppConfig::isFavorite(const QString &id) const {
    return std::any_of(m_favorites.begin(), m_favorites.end(), [&](const DeviceEntry &e) { return e.id == id; });
}

void AppConfig::toggleFavorite(const QString &id, const QString &name) {
    QList<DeviceEntry> list = m_favorites;
    if (!isFavorite(id))
        list.append(DeviceEntry{id, name, name});
    else
        list.removeIf([&](const DeviceEntry &e) { return e.id == id; });
    setFavorites(list);
}

void AppConfig::setAlias(const QString &id, const QString &alias) {
    QList<DeviceEntry> list = m_favorites;
    for (DeviceEntry &e : list) {
        if (e.id == id) {
            e.alias = alias;
            setFavorites(list);
            return;
        }
    }
}
