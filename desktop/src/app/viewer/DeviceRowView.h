#pragma once

#include <QWidget>

class QHBoxLayout;
class QLabel;

// One row of the connect panel's device lists: thumbnail box, title and
// caption, then the row's buttons. A click anywhere on the row emits clicked().
class DeviceRowView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize thumbSize{96, 54};

    DeviceRowView(const QString &id, QWidget *parent = nullptr);

    QString id() const { return m_id; }
    void setTitle(const QString &title);
    void setCaption(const QString &caption);
    void setThumbnail(const QImage &thumb, bool online);
    QString title() const;
    QString caption() const;
    // Appends a button at the right end of the row.
    void addButton(QWidget *button);

    // The 96 × 54 box: the thumbnail scaled to fill and clipped to radius 6, or
    // a placeholder with a computer symbol; outlined green when online.
    static QPixmap thumbnailBox(const QImage &thumb, bool online, const QPalette &palette, qreal dpr = 1.0);

Q_SIGNALS:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    QString m_id;
    QLabel *m_thumb = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_caption = nullptr;
    QHBoxLayout *m_layout = nullptr;
};
