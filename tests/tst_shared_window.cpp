#include "window_services/shared_window.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>

class TestSharedWindow : public QObject {
    Q_OBJECT

    int made = 0;
    SharedWindow slot{[this] {
        ++made;
        auto *w = new QWidget;
        w->setObjectName(QStringLiteral("made%1").arg(made));
        return w;
    }};

private slots:
    void cleanup()
    {
        slot.unload();
        made = 0;
    }

    void createdOnFirstUseAndOnlyRaisedWhileOpen()
    {
        slot.unload(); // not loaded: nothing to do
        QVERIFY(!slot.isLoaded());
        QCOMPARE(made, 0);
        slot.show();
        QVERIFY(slot.isLoaded());
        QWidget *first = slot.window();
        QVERIFY(first->isVisible());
        QVERIFY(!first->parentWidget()); // no owner
        slot.show();
        QCOMPARE(made, 1);
        QCOMPARE(slot.window(), first);
    }

    void closingUnloadsAndTheNextShowLoadsAfresh_data()
    {
        QTest::addColumn<bool>("byFrame");
        QTest::newRow("frame close") << true;
        QTest::newRow("unload") << false;
    }

    void closingUnloadsAndTheNextShowLoadsAfresh()
    {
        QFETCH(bool, byFrame);
        slot.show();
        QPointer<QWidget> first = slot.window();
        if (byFrame)
            first->close();
        else
            slot.unload();
        QVERIFY(!slot.isLoaded());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(first.isNull()); // controls and state are discarded
        slot.show();
        QCOMPARE(made, 2);
        QCOMPARE(slot.window()->objectName(), QStringLiteral("made2"));
    }

    // Unloaded from inside an event loop of its own (a modal box it runs): gone from
    // view at once, deleted only once that loop has returned.
    void unloadedInItsOwnEventLoopIsDeletedAfterIt()
    {
        slot.show();
        QPointer<QWidget> window = slot.window();
        bool keptDuringTheLoop = false;
        QEventLoop nested;
        QTimer::singleShot(0, window, [&] {
            slot.unload();
            keptDuringTheLoop = !window.isNull() && !window->isVisible();
            nested.quit();
        });
        nested.exec();
        QVERIFY(keptDuringTheLoop);
        QVERIFY(!slot.isLoaded());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(window.isNull());
    }

    void showingAMinimisedWindowRestoresIt()
    {
        slot.show();
        QWidget *first = slot.window();
        first->setWindowState(Qt::WindowMinimized);
        QVERIFY(first->isMinimized());
        slot.show();
        QCOMPARE(slot.window(), first); // still the same window, not loaded again
        QVERIFY(!first->isMinimized());
        QCOMPARE(made, 1);
    }
};

QTEST_MAIN(TestSharedWindow)
#include "tst_shared_window.moc"
