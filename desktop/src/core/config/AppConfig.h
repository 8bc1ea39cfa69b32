#pragma once

#include "config/DeviceEntry.h"
#include "config/Quality.h"

#include <QObject>
#include <QSettings>

#include <memory>
#include <optional>

// The process-wide settings. Every field is persisted by its own setter; the
// administrator token goes to the Secret Service, the rest to the settings file.
class AppConfig : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString server READ server WRITE setServer NOTIFY serverChanged)
    Q_PROPERTY(QString adminToken READ adminToken WRITE setAdminToken NOTIFY adminTokenChanged)
    Q_PROPERTY(QString preset READ preset WRITE setPreset NOTIFY presetChanged)
    Q_PROPERTY(QString videoPref READ videoPref WRITE setVideoPref NOTIFY videoPrefChanged)
    Q_PROPERTY(bool showCursor READ showCursor WRITE setShowCursor NOTIFY showCursorChanged)
    Q_PROPERTY(double volume READ volume WRITE setVolume NOTIFY volumeChanged)
    Q_PROPERTY(bool menuBarOnly READ menuBarOnly WRITE setMenuBarOnly NOTIFY menuBarOnlyChanged)

public:
    // How long the constructor waits for the keyring before it goes on without the
    // administrator token (adminTokenChanged() tells when it arrives).
    static constexpr int keyringWaitMs = 1500;
    static constexpr int maxRecents = 20;
    static QString defaultServer();

    // Reads the settings file and the secret store (with the migration of an old
    // token kept in the settings file).
    explicit AppConfig(const QString &settingsFile, QObject *parent = nullptr);
    ~AppConfig() override;

    QSettings &d() { return *m_d; }

    QString server() const { return m_server; }
    QString adminToken() const { return m_adminToken; }
    QString preset() const { return m_preset; }
    QString videoPref() const { return m_videoPref; }
    bool showCursor() const { return m_showCursor; }
    double volume() const { return m_volume; }
    QList<DeviceEntry> recents() const { return m_recents; }
    QList<DeviceEntry> favorites() const { return m_favorites; }
    bool menuBarOnly() const { return m_menuBarOnly; }

    void setServer(const QString &v);
    void setAdminToken(const QString &v);
    void setPreset(const QString &v);
    void setVideoPref(const QString &v);
    void setShowCursor(bool v);
    void setVolume(double v);
    void setRecents(const QList<DeviceEntry> &v);
    void setFavorites(const QList<DeviceEntry> &v);
    void setMenuBarOnly(bool v);

    // presets()[preset], or the balanced preset for an unknown key.
    Quality quality() const;
    void addRecent(const QString &id, const QString &name);
    bool isFavorite(const QString &id) const;
    void toggleFavorite(const QString &id, const QString &name);
    void setAlias(const QString &id, const QString &alias);

Q_SIGNALS:
    void serverChanged();
    void adminTokenChanged();
    void presetChanged();
    void videoPrefChanged();
    void showCursorChanged();
    void volumeChanged();
    void recentsChanged();
    void favoritesChanged();
    void menuBarOnlyChanged();

private:
    // Assigns, persists under key, and notifies when the value changed.
    template <typename T> void store(T &field, const T &value, const char *key, void (AppConfig::*changed)()) {
        const bool differs = !(field == value);
        field = value;
        m_d->setValue(key, value);
        m_d->sync();
        if (differs)
            Q_EMIT(this->*changed)();
    }
    void storeList(const char *key, const QList<DeviceEntry> &list);
    void readAdminToken();
    void adoptAdminToken(const std::optional<QString> &stored);

    std::unique_ptr<QSettings> m_d;
    QString m_server;
    QString m_adminToken;
    bool m_adminTokenSet = false; // by setAdminToken() while the keyring was still read
    QString m_preset;
    QString m_videoPref;
    bool m_showCursor = false;
    double m_volume = 1.0;
    QList<DeviceEntry> m_recents;
    QList<DeviceEntry> m_favorites;
    bool m_menuBarOnly = false;
};
