#include "window_services/style.h"

#include <QApplication>
#include <QIconEngine>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOption>

#include <functional>
#include <optional>

namespace {

// Stands in for an icon until something needs its pixels.
class DeferredIconEngine final : public QIconEngine {
public:
    using Maker = std::function<QIcon()>;

    explicit DeferredIconEngine(Maker make)
        : make_(std::move(make))
    {
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override
    {
        return icon().pixmap(size, scale, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return icon().availableSizes(mode, state);
    }
    bool isNull() override { return false; }
    QString key() const override { return QStringLiteral("deferred"); }
    QIconEngine *clone() const override { return new DeferredIconEngine(*this); }

private:
    const QIcon &icon()
    {
        if (!icon_)
            icon_ = make_();
        return *icon_;
    }

    Maker make_;
    std::optional<QIcon> icon_;
};

class DeferredArrowStyle final : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    QIcon standardIcon(StandardPixmap which, const QStyleOption *option,
                       const QWidget *widget) const override
    {
        // Every menu bar asks for its overflow arrow as it is made, and the base style
        // reads it from a file whose format it guesses, loading every image format plugin
        // to do so: a good part of start-up and memory for an arrow that shows only when
        // the menus overflow the bar, which ours never do.
        if (which != SP_ToolBarHorizontalExtensionButton)
            return QProxyStyle::standardIcon(which, option, widget);
        QStyleOption direction;
        direction.direction = option   ? option->direction
                              : widget ? widget->layoutDirection()
                                       : QGuiApplication::layoutDirection();
        const QPointer<QStyle> base = baseStyle();
        return QIcon(new DeferredIconEngine([base, which, direction] {
            return base ? base->standardIcon(which, &direction) : QIcon();
        }));
    }
};

} // namespace

void Style::install()
{
    QApplication::setStyle(new DeferredArrowStyle(QApplication::style()->name()));
}
