#include "app/NamedIcon.h"

#include <QIconEngine>
#include <QPainter>

namespace orvelquin {
namespace {

class NamedIconEngine final : public QIconEngine {
public:
    NamedIconEngine(QString name, QIcon drawn)
        : m_name(std::move(name))
        , m_drawn(std::move(drawn)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        m_drawn.paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return m_drawn.pixmap(size, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return m_drawn.actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return m_drawn.availableSizes(mode, state);
    }
    QString iconName() override { return m_name; }
    bool isNull() override { return m_drawn.isNull(); }
    QIconEngine* clone() const override { return new NamedIconEngine(m_name, m_drawn); }

private:
    QString m_name;
    QIcon m_drawn;
};

} // namespace

QIcon namedIcon(const QString& name, const QIcon& drawn) {
    return QIcon(new NamedIconEngine(name, drawn));
}

} // namespace orvelquin
