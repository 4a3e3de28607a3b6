#include "window_services/accessibility.h"

#include "window_services/clickable_image.h"
#include "window_services/status_panel.h"

#include <QAccessibleWidget>

namespace {

class PictureAccessible : public QAccessibleWidget {
public:
    explicit PictureAccessible(ClickableImage *picture)
        : QAccessibleWidget(picture, QAccessible::Graphic)
    {
    }

    // Asked each time: a picture may be made a button after it was first seen.
    QAccessible::Role role() const override
    {
        return button() ? QAccessible::Button : QAccessible::Graphic;
    }

    QStringList actionNames() const override
    {
        QStringList names = QAccessibleWidget::actionNames();
        if (button())
            names.prepend(pressAction());
        return names;
    }
    void doAction(const QString &action) override
    {
        if (action == pressAction() && button())
            static_cast<ClickableImage *>(widget())->click();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    bool button() const { return static_cast<ClickableImage *>(widget())->actsAsButton(); }
};

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    if (className == QLatin1String("StatusPanel"))
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::StatusBar);
    if (className == QLatin1String("ClickableImage"))
        return new PictureAccessible(static_cast<ClickableImage *>(object));
    return nullptr;
}

} // namespace

void Accessibility::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    (void)installed;
}
