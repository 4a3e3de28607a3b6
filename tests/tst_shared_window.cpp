#include "window_services/shared_window.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QTest>
#include <QTimer>

#include <xcb/xcb.h>

#include <memory>

namespace {

// What the X server itself holds, with no window manager to ask.
xcb_connection_t *x11()
{
    auto *x = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x ? x->connection() : nullptr;
}

WId inputFocus()
{
    std::unique_ptr<xcb_get_input_focus_reply_t, decltype(&free)> reply(
        xcb_get_input_focus_reply(x11(), xcb_get_input_focus(x11()), nullptr), free);
    return reply ? reply->focus : 0;
}

// The root's children from the bottom of the stack to the top.
QList<WId> stacking()
{
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x11())).data->root;
    std::unique_ptr<xcb_query_tree_reply_t, decltype(&free)> reply(
        xcb_query_tree_reply(x11(), xcb_query_tree(x11(), root), nullptr), free);
    QList<WId> order;
    if (reply) {
        const xcb_window_t *children = xcb_query_tree_children(reply.get());
        for (int i = 0; i < xcb_query_tree_children_length(reply.get()); ++i)
            order << children[i];
    }
    return order;
}

} // namespace

class TestSharedWindow : public QObject {
    Q_OBJECT

    int made = 0;
    SharedWindow slot{[this] {
        ++made;
        auto *w = new QWidget;
        w->setObjectName(QString("made%1").arg(made));
        return w;
    }};

private slots:
    void cleanup()
    {
        slot.unload();
        made = 0;
    }

    // Once made, shown again: the same window, restored if minimised.
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
        first->setWindowState(Qt::WindowMinimized);
        QVERIFY(first->isMinimized());
        slot.show();
        QCOMPARE(made, 1);
        QCOMPARE(slot.window(), first);
        QVERIFY(!first->isMinimized());
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
        QCOMPARE(slot.window()->objectName(), "made2");
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

    // Shown again while open under another window: raised above it and given
    // the keyboard, on a real X server.
    void shownAgainIsRaisedAndGivenTheFocus()
    {
        QVERIFY2(x11(), "not on an X server");
        slot.show();
        QWidget *shared = slot.window();
        QVERIFY(QTest::qWaitForWindowExposed(shared));
        QWidget other;
        other.setGeometry(shared->geometry());
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        other.raise();
        other.activateWindow();
        QTRY_COMPARE(inputFocus(), other.winId());
        QVERIFY(stacking().indexOf(other.winId()) > stacking().indexOf(shared->winId()));
        slot.show();
        QTRY_COMPARE(inputFocus(), shared->winId());
        // Asked before the focus, so done by the time the focus is seen.
        QVERIFY(stacking().indexOf(shared->winId()) > stacking().indexOf(other.winId()));
        QCOMPARE(made, 1);
    }
};

QTEST_MAIN(TestSharedWindow)
#include "tst_shared_window.moc"
