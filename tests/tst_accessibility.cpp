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

    QWidget *windowNamed(const QString &name) const
    {
        return name == QLatin1String("frmAna")   ? static_cast<QWidget *>(main.get())
               : name == QLatin1String("frmHak") ? static_cast<QWidget *>(about.get())
                                                 : static_cast<QWidget *>(browser.get());
    }

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
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("name");
        QTest::newRow("first effect button")
            << "frmAna"
            << "Command1" << int(QAccessible::Button) << "Kısa Gülme";
        QTest::newRow("last effect button")
            << "frmAna"
            << "Command20" << int(QAccessible::Button) << "Remixed by";
        QTest::newRow("banner") << "frmAna"
                                << "Image1" << int(QAccessible::Graphic) << "Zembra";
        QTest::newRow("main status panel") << "frmAna"
                                           << "PicStatus" << int(QAccessible::StatusBar) << "";
        QTest::newRow("about text")
            << "frmHak"
            << "Text1" << int(QAccessible::EditableText) << "Zembra hakkında";
        QTest::newRow("about picture") << "frmHak"
                                       << "Picture1" << int(QAccessible::Graphic) << "Tzk Design";
        QTest::newRow("about button") << "frmHak"
                                      << "Command1" << int(QAccessible::Button) << "Kapat";
        QTest::newRow("reload picture") << "frmBrowser"
                                        << "Image1" << int(QAccessible::Button) << "Yenile";
        QTest::newRow("update status panel") << "frmBrowser"
                                             << "PicStatus" << int(QAccessible::StatusBar) << "";
    }

    void everyControlHasANameAndRole()
    {
        QFETCH(QString, window);
        QFETCH(QString, control);
        QFETCH(int, role);
        QFETCH(QString, name);
        QWidget *widget = windowNamed(window)->findChild<QWidget *>(control);
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
        auto *panel = main->findChild<StatusPanel *>(QStringLiteral("PicStatus"));
        heard.clear();
        for (int i = 0; i < 2; ++i)
            QTest::mouseClick(main->findChild<QWidget *>(QStringLiteral("Command3")),
                              Qt::LeftButton);
        QTest::mouseClick(main->findChild<QWidget *>(QStringLiteral("Command9")), Qt::LeftButton);
        QStringList announced;
        for (const Heard &h : heard)
            if (h.object == panel && h.type == QAccessible::NameChanged)
                announced << h.name;
        QCOMPARE(announced, (QStringList{"Bekleme !", "Bekleme !", "Alkış !"}));
    }

    void reloadPictureCanBePressedWithoutAMouse()
    {
        auto *reload = browser->findChild<ClickableImage *>(QStringLiteral("Image1"));
        QSignalSpy clicked(reload, &ClickableImage::clicked);
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(reload);
        QVERIFY(iface->actionInterface());
        QVERIFY(iface->actionInterface()->actionNames().contains(
            QAccessibleActionInterface::pressAction()));
        iface->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(reload->focusPolicy(), Qt::StrongFocus);
    }
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
