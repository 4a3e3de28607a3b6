// What a screen reader gets: every control named, with the right role, and
// every print on a status panel announced.
#include "main_window/frm_ana.h"
#include "recording_player.h"
#include "secondary_windows/frm_browser.h"
#include "secondary_windows/frm_hak.h"
#include "window_services/clickable_image.h"
#include "window_services/fonts.h"
#include "window_services/status_panel.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

struct Heard {
    QObject *object;
    QAccessible::Event type;
    QString name;
};
QList<Heard> *events = nullptr;

void record(QAccessibleEvent *event)
{
    if (!events)
        return;
    QAccessibleInterface *iface = event->accessibleInterface();
    events->append(
        {event->object(), event->type(), iface ? iface->text(QAccessible::Name) : QString()});
}

} // namespace

class TestAccessibility : public QObject {
    Q_OBJECT

    RecordingPlayer player;
    std::unique_ptr<frmAna> main;
    std::unique_ptr<frmHak> about;
    std::unique_ptr<frmBrowser> browser;
    QList<Heard> heard;

private slots:
    void initTestCase()
    {
        Fonts::install();
        QAccessible::installUpdateHandler(record);
        // Active once Qt has reached the accessibility bus, as with a screen
        // reader running.
        QTRY_VERIFY2_WITH_TIMEOUT(QAccessible::isActive(), "no accessibility bus", 10000);
        events = &heard;
        main = std::make_unique<frmAna>(player);
        main->setTerminator([] {});
        about = std::make_unique<frmHak>();
        browser = std::make_unique<frmBrowser>(static_cast<WebViewFactory *>(nullptr));
    }

    void cleanupTestCase() { events = nullptr; }

    void everyControlHasANameAndRole_data()
    {
        QTest::addColumn<QWidget *>("widget");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("name");
        QWidget *ana = main.get(), *hak = about.get(), *web = browser.get();
        const struct {
            const char *row;
            QWidget *window;
            const char *control;
            QAccessible::Role role;
            const char *name;
        } rows[] = {
            {"first effect button", ana, "Command1", QAccessible::Button, "Kısa Gülme"},
            {"last effect button", ana, "Command20", QAccessible::Button, "Remixed by"},
            {"banner", ana, "Image1", QAccessible::Graphic, "Zembra"},
            {"main status panel", ana, "PicStatus", QAccessible::StatusBar, ""},
            {"about text", hak, "Text1", QAccessible::EditableText, "Zembra hakkında"},
            {"about picture", hak, "Picture1", QAccessible::Graphic, "Tzk Design"},
            {"about button", hak, "Command1", QAccessible::Button, "Kapat"},
            {"reload picture", web, "Image1", QAccessible::Button, "Yenile"},
            {"update status panel", web, "PicStatus", QAccessible::StatusBar, ""},
        };
        for (const auto &r : rows)
            QTest::newRow(r.row) << r.window->findChild<QWidget *>(r.control) << int(r.role)
                                 << QString::fromUtf8(r.name);
    }

    void everyControlHasANameAndRole()
    {
        QFETCH(QWidget *, widget);
        QFETCH(int, role);
        QFETCH(QString, name);
        QVERIFY(widget);
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(widget);
        QVERIFY(iface);
        QCOMPARE(int(iface->role()), role);
        if (!name.isEmpty())
            QCOMPARE(iface->text(QAccessible::Name), name);
    }

    // Each print is news to a listener, the same text printed again too.
    void everyPrintIsAnnounced()
    {
        auto *panel = main->findChild<StatusPanel *>("PicStatus");
        heard.clear();
        for (const char *button : {"Command3", "Command3", "Command9"})
            QTest::mouseClick(main->findChild<QWidget *>(button), Qt::LeftButton);
        QStringList announced;
        for (const Heard &h : heard)
            if (h.object == panel && h.type == QAccessible::NameChanged)
                announced << h.name;
        QCOMPARE(announced, (QStringList{"Bekleme !", "Bekleme !", "Alkış !"}));
    }

    void reloadPictureCanBePressedWithoutAMouse()
    {
        auto *reload = browser->findChild<ClickableImage *>("Image1");
        QSignalSpy clicked(reload, &ClickableImage::clicked);
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(reload);
        QVERIFY(iface->actionInterface());
        QVERIFY(iface->actionInterface()->actionNames().contains(
            QAccessibleActionInterface::pressAction()));
        iface->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(clicked.count(), 1);
    }
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
