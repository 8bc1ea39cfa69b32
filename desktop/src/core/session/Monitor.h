#pragma once

#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

// One remote display as the host lists it in "auth_ok".
struct Monitor {
    Q_GADGET
    Q_PROPERTY(int id MEMBER id)
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(int w MEMBER w)
    Q_PROPERTY(int h MEMBER h)
    Q_PROPERTY(bool primary MEMBER primary)

public:
    int id = 0;
    QString name;
    int w = 0;
    int h = 0;
    bool primary = false;

    bool operator==(const Monitor &) const = default;

    // Each field falls back to its default when the key is missing or of another type.
    static Monitor fromJson(const QJsonObject &o);
    // The list of "auth_ok": empty unless v is an array whose elements are all objects.
    static QList<Monitor> listFromJson(const QJsonValue &v);
};

Q_DECLARE_METATYPE(Monitor)
