#include "main_window/effect_button.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QFontMetrics>
#include <QMimeData>
#include <QStyle>
#include <QStyleOptionButton>
#include <QUrl>

namespace {

// The one local file a drag carries, or nothing.
QString droppedFile(const QMimeData *mime)
{
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1)
        return {};
    const QUrl url = mime->urls().constFirst();
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

} // namespace

EffectButton::EffectButton(const QString &caption, QWidget *parent)
    : CommandButton(caption, parent)
    , caption_(caption)
{
    setAcceptDrops(true);
}

void EffectButton::setCaption(const QString &caption, bool own)
{
    caption_ = caption;
    own_ = own;
    setToolTip(own ? caption : QString());
    setAccessibleName(own ? caption : QString());
    showCaption();
}

void EffectButton::showCaption()
{
    // The kit's captions stand as they always have.
    if (!own_) {
        setText(caption_);
        return;
    }
    QStyleOptionButton option;
    initStyleOption(&option);
    const int room = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this).width() -
                     style()->pixelMetric(QStyle::PM_ButtonMargin, &option, this);
    // A user's "&" is a letter, not a mnemonic.
    setText(fontMetrics()
                .elidedText(caption_, Qt::ElideRight, room)
                .replace(QLatin1Char('&'), QStringLiteral("&&")));
}

void EffectButton::changeEvent(QEvent *event)
{
    CommandButton::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        showCaption();
}

void EffectButton::keyPressEvent(QKeyEvent *event)
{
    // Shift+F10 opens the context menu as the Menu key does (which the window
    // system turns into a context menu event of its own).
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, rect().center(),
                               mapToGlobal(rect().center()), event->modifiers());
        QCoreApplication::sendEvent(this, &menu);
        return;
    }
    CommandButton::keyPressEvent(event);
}

void EffectButton::dragEnterEvent(QDragEnterEvent *event)
{
    if (droppedFile(event->mimeData()).isEmpty())
        return;
    event->setDropAction(Qt::CopyAction);
    event->accept();
    // Shown pressed while it would take the file.
    setDown(true);
}

void EffectButton::dragLeaveEvent(QDragLeaveEvent *event)
{
    setDown(false);
    CommandButton::dragLeaveEvent(event);
}

void EffectButton::dropEvent(QDropEvent *event)
{
    setDown(false);
    const QString file = droppedFile(event->mimeData());
    if (file.isEmpty())
        return;
    event->setDropAction(Qt::CopyAction);
    event->accept();
    emit fileDropped(file);
}
