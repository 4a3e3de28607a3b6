#include "effects/sounds.h"
#include "files_below.h"
#include "http_server.h"
#include "main_window/frm_ana.h"
#include "recording_player.h"
#include "secondary_windows/engine_sandbox.h"
#include "secondary_windows/frm_browser.h"
#include "secondary_windows/web_view.h"
#include "secondary_windows/web_view_loader.h"
#include "window_services/fonts.h"
#include "window_services/status_panel.h"

#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebEngineDownloadRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace {

// A browser that does only what the test tells it, to pin down the window's own order of work.
// Its load ends within navigate(), the hardest case for that order.
class FakeView : public WebView {
public:
    explicit FakeView(QWidget *parent)
        : widget_(new QWidget(parent))
    {
        widget_->setFocusPolicy(Qt::StrongFocus);
    }
    QWidget *widget() override { return widget_; }
    void navigate(const QUrl &url) override
    {
        visibleAtNavigate = widget_->window()->isVisible();
        navigations.append(url);
        finished(true);
    }
    void refresh() override { ++refreshes; }
    void setLoadFinishedHandler(std::function<void(bool)> handler) override
    {
        finished = std::move(handler);
    }

    QWidget *widget_;
    QList<QUrl> navigations;
    int refreshes = 0;
    bool visibleAtNavigate = false;
    std::function<void(bool)> finished;
};

class FakeFactory : public WebViewFactory {
public:
    WebView *createWebView(QWidget *parent) override
    {
        last = new FakeView(parent);
        return last;
    }
    FakeView *last = nullptr;
};

QTemporaryDir *home = nullptr;

// A stand-in for the sandbox's probe, run in the forked child: it first says
// which process it is on this pipe, then does as the test set before the fork.
enum ProbeDoes { SaysYes, SaysNo, Dies, Hangs };
ProbeDoes probeDoes = SaysYes;
int probePids[2] = {-1, -1};
bool probe()
{
    const pid_t self = getpid();
    if (write(probePids[1], &self, sizeof self) != sizeof self)
        _exit(9);
    if (probeDoes == Dies)
        raise(SIGKILL);
    while (probeDoes == Hangs)
        pause();
    return probeDoes == SaysYes;
}

// What the web engine printed that a user would see on the terminal.
QStringList engineNoise;
QtMessageHandler previousHandler = nullptr;

} // namespace

class TestFrmBrowser : public QObject {
    Q_OBJECT

    HttpServer server;
    WebViewFactory *engine = nullptr;
    RecordingPlayer player;

    static StatusPanel *panelOf(QWidget *w) { return w->findChild<StatusPanel *>("PicStatus"); }
    // A click on the reload picture.
    static void reload(QWidget *w)
    {
        QTest::mouseClick(w->findChild<QWidget *>("Image1"), Qt::LeftButton);
    }

    // The module by a path of its own, from which nothing was loaded yet: the
    // window opens as at the program's first opening, before the engine.
    static QString firstOpening()
    {
        static QString dots;
        dots += "./";
        const QFileInfo module(QStringLiteral(WEBVIEW_MODULE));
        return module.path() + QLatin1Char('/') + dots + module.fileName();
    }

    QUrl url(const char *path) const { return QUrl(server.base() + QLatin1String(path)); }

    std::unique_ptr<frmBrowser> openReal(const QUrl &address)
    {
        auto w = std::make_unique<frmBrowser>(engine, address);
        w->show();
        return w;
    }

private slots:
    void initTestCase()
    {
        // Inside the test run, where QtTest's own handler is already in place.
        previousHandler = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
                if (qstrcmp(context.category, "qt.webenginecontext") == 0 ||
                    message.startsWith("js:") || message.contains("AA_ShareOpenGLContexts"))
                    engineNoise << message.left(80);
                previousHandler(type, context, message);
            });

        Fonts::install();
        server.page("/tzk/guncelleme.shtml",
                    "<html><body><p>Yeni s\xc3\xbcr\xc3\xbcm yok.</p>"
                    "<a id='next' href='/next.html'>sonraki</a></body></html>");
        server.page("/next.html", "<html><body>ikinci</body></html>");
        server.page("/slow.html", "<html><body>ge\xc3\xa7</body></html>");
        server.attachment("/indir.bin", QByteArray(4096, 'z'));
        server.noContent("/bos.html");
        server.page("/soru.html",
                    "<html><head><script>"
                    "document.title = confirm('emin misin?') + ':' + prompt('ad?', 'ali');"
                    "console.log('konsol');"
                    "window.onbeforeunload = function (e) { e.preventDefault(); return 'kal'; };"
                    "</script></head><body>soru</body></html>");
        server.page(
            "/dosya.html",
            "<html><body style='margin:0'><input type='file' onclick=\"document.title='t'\" "
            "style='position:fixed;top:0;left:0;width:100%;height:100%'></body></html>");
        server.page("/uyari.html", "<html><body><script>for (;;) alert(1);</script></body></html>");
        engine = WebViewLoader::factoryFrom(QStringLiteral(WEBVIEW_MODULE));
        QVERIFY(engine);
    }

    // The probe's child is always reaped; one that never answers is killed and counts as a no.
    void sandboxProbeEndsAndLeavesNoChild_data()
    {
        QTest::addColumn<int>("does");
        QTest::addColumn<bool>("can");
        QTest::newRow("answers yes") << int(SaysYes) << true;
        QTest::newRow("answers no") << int(SaysNo) << false;
        QTest::newRow("dies") << int(Dies) << false;
        QTest::newRow("never answers") << int(Hangs) << false;
    }

    void sandboxProbeEndsAndLeavesNoChild()
    {
        QFETCH(int, does);
        QFETCH(bool, can);
        probeDoes = ProbeDoes(does);
        QCOMPARE(pipe2(probePids, O_CLOEXEC | O_NONBLOCK), 0);
        const bool said = EngineSandbox::inChild(&probe);
        pid_t child = 0;
        const bool ran = read(probePids[0], &child, sizeof child) == sizeof child;
        close(probePids[0]);
        close(probePids[1]);
        QVERIFY(ran);
        // Neither running nor a zombie: reaped.
        errno = 0;
        const pid_t left = waitpid(child, nullptr, WNOHANG);
        const int why = errno;
        if (left == 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        QCOMPARE(left, pid_t(-1));
        QCOMPARE(why, ECHILD);
        QCOMPARE(said, can);
    }

    // ---- the window's own order of work, with a stand-in browser ----

    void layoutTextsAndFocus()
    {
        FakeFactory fake;
        frmBrowser w(&fake);
        QCOMPARE(w.windowTitle(), "Tzk Design Güncelleme Bildirimi.!");
        QCOMPARE(w.size(), QSize(366, 529));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(panelOf(&w)->geometry(), QRect(8, 16, 289, 17));
        QCOMPARE(w.findChild<QWidget *>("brwWebBrowser")->geometry(), QRect(8, 48, 352, 441));
        auto *label = w.findChild<QLabel *>("Label1");
        QCOMPARE(label->geometry(), QRect(16, 496, 337, 33));
        QCOMPARE(label->text(),
                 QStringLiteral("Güncelleme bildiriminlerini alabilmeniz için "
                                "bilgisayarınızın internete bağlı olması gerekmektedir."));
        QVERIFY(label->wordWrap());
        // Two lines fit.
        QVERIFY(label->heightForWidth(label->width()) <= label->height());
        auto *image = w.findChild<QLabel *>("Image1");
        QCOMPARE(image->geometry(), QRect(304, 8, 56, 36));
        QVERIFY(image->pixmap().hasAlphaChannel());
        QCOMPARE(image->focusPolicy(), Qt::StrongFocus); // a button for the keyboard too

        w.show();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QCOMPARE(QApplication::focusWidget(), fake.last->widget());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), panelOf(&w));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), image);
        QTest::keyClick(image, Qt::Key_Space);
        QCOMPARE(fake.last->refreshes, 1);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), fake.last->widget());
    }

    // A completion within navigate() is overwritten by the loading text.
    void showsItselfThenNavigatesThenPrintsLoading()
    {
        FakeFactory fake;
        frmBrowser w(&fake);
        QVERIFY(fake.last->navigations.isEmpty()); // creating is not loading
        QSignalSpy shown(panelOf(&w), &StatusPanel::shown);
        w.show();
        QCOMPARE(fake.last->navigations, QList<QUrl>{frmBrowser::updateAddress()});
        QVERIFY(fake.last->visibleAtNavigate);
        QCOMPARE(frmBrowser::updateAddress().toString(),
                 "http://www.tzk.example/tzk/guncelleme.shtml");
        QCOMPARE(panelOf(&w)->text(), frmBrowser::loadingText());
        fake.last->finished(true);
        QCOMPARE(panelOf(&w)->text(), frmBrowser::loadedText());
        fake.last->finished(false);
        QCOMPARE(panelOf(&w)->text(), frmBrowser::failedText());
        QCOMPARE(shown.count(), 4);
        // Minimizing and restoring is not a new load.
        w.showMinimized();
        w.showNormal();
        QCOMPARE(fake.last->navigations.size(), 1);
    }

    void withoutTheWebModuleTheLoadFails_data()
    {
        QTest::addColumn<bool>("inBackground");
        QTest::newRow("module loaded at once") << false;
        QTest::newRow("module loaded in the background") << true;
    }

    void withoutTheWebModuleTheLoadFails()
    {
        QFETCH(bool, inBackground);
        const QString missing = "/nonexistent/zembra_webview";
        auto w = inBackground ? std::make_unique<frmBrowser>(missing)
                              : std::make_unique<frmBrowser>(WebViewLoader::factoryFrom(missing));
        w->show();
        reload(w.get());
        QTRY_COMPARE(panelOf(w.get())->text(), frmBrowser::failedText());
    }

    // Up with its loading text before the engine is; the page is asked for once, when it comes.
    void pageFollowsAWindowShownBeforeTheEngine()
    {
        const int before = server.hits("/tzk/guncelleme.shtml");
        frmBrowser w(firstOpening(), url("/tzk/guncelleme.shtml"));
        QSignalSpy shown(panelOf(&w), &StatusPanel::shown);
        w.show();
        QCOMPARE(panelOf(&w)->text(), frmBrowser::loadingText());
        QVERIFY(!w.findChild<QWebEngineView *>());
        QTRY_COMPARE_WITH_TIMEOUT(panelOf(&w)->text(), frmBrowser::loadedText(), 20000);
        QCOMPARE(server.hits("/tzk/guncelleme.shtml"), before + 1);
        QCOMPARE(shown.count(), 2);
        auto *view = w.findChild<QWebEngineView *>();
        QCOMPARE(w.findChild<QWidget *>("brwWebBrowser")->focusProxy(), view);
    }

    // With the engine loaded, a new window asks for its page before it prints the loading text.
    void reopeningNavigatesThenPrints()
    {
        const QUrl address = url("/tzk/guncelleme.shtml");
        frmBrowser w(QStringLiteral(WEBVIEW_MODULE), address);
        QUrl askedForAtPrint;
        connect(panelOf(&w), &StatusPanel::shown, &w, [&] {
            if (auto *view = w.findChild<QWebEngineView *>())
                askedForAtPrint = view->page()->requestedUrl();
        });
        w.show();
        QCOMPARE(panelOf(&w)->text(), frmBrowser::loadingText());
        QCOMPARE(askedForAtPrint, address);
        QTRY_COMPARE_WITH_TIMEOUT(panelOf(&w)->text(), frmBrowser::loadedText(), 20000);
    }

    // Closed before the engine came: nothing is left to call back into.
    void closedBeforeTheEngineCame()
    {
        {
            frmBrowser w(firstOpening(), url("/tzk/guncelleme.shtml"));
            w.show();
        }
        QTest::qWait(200);
    }

    // The view object goes before its widget: the page must not call back into it meanwhile.
    void pageCallsNothingBackOnceItsViewIsGone()
    {
        QWidget window;
        bool called = false;
        WebView *view = engine->createWebView(&window);
        view->setLoadFinishedHandler([&called](bool) { called = true; });
        auto *widget = qobject_cast<QWebEngineView *>(view->widget());
        QVERIFY(widget);
        delete view;
        QSignalSpy finished(widget->page(), &QWebEnginePage::loadFinished);
        widget->load(url("/tzk/guncelleme.shtml"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        QVERIFY(!called);
    }

    // ---- the real web engine against a local server ----

    void failedLoadsSayTheyFailed_data()
    {
        QTest::addColumn<QString>("address");
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost);
        const quint16 freePort = closed.serverPort();
        closed.close();
        QTest::newRow("refused")
            << QString("http://127.0.0.1:%1/tzk/guncelleme.shtml").arg(freePort);
        QTest::newRow("HTTP 404") << url("/tzk/yok.shtml").toString();
        // No page to show is a failure too.
        QTest::newRow("204 No Content") << url("/bos.html").toString();
        QTest::newRow("a file to save") << url("/indir.bin").toString();
    }

    void failedLoadsSayTheyFailed()
    {
        QFETCH(QString, address);
        auto w = openReal(QUrl(address));
        QSignalSpy shown(panelOf(w.get()), &StatusPanel::shown);
        QTRY_COMPARE_WITH_TIMEOUT(panelOf(w.get())->text(), frmBrowser::failedText(), 30000);
        // Reloading a failed page fails the same way, quietly.
        const int before = int(shown.count());
        reload(w.get());
        QTRY_COMPARE_WITH_TIMEOUT(int(shown.count()), before + 1, 30000);
        QCOMPARE(panelOf(w.get())->text(), frmBrowser::failedText());
    }

    void slowServerKeepsTheLoadingText()
    {
        server.slow("/slow.html");
        auto w = openReal(url("/slow.html"));
        QTRY_COMPARE_WITH_TIMEOUT(server.hits("/slow.html"), 1, 20000);
        QTest::qWait(500);
        QCOMPARE(panelOf(w.get())->text(), frmBrowser::loadingText());
        // A reload while nothing has loaded yet is harmless and ends nothing early.
        reload(w.get());
        QTest::qWait(500);
        QCOMPARE(panelOf(w.get())->text(), frmBrowser::loadingText());
        server.release();
        QTRY_COMPARE_WITH_TIMEOUT(panelOf(w.get())->text(), frmBrowser::loadedText(), 20000);
    }

    // A reload prints no loading text, only its success.
    void followedLinksAndReloadsEachPrintSuccessOnce()
    {
        auto w = openReal(url("/tzk/guncelleme.shtml"));
        QTRY_COMPARE_WITH_TIMEOUT(panelOf(w.get())->text(), frmBrowser::loadedText(), 20000);
        QSignalSpy shown(panelOf(w.get()), &StatusPanel::shown);
        auto *view = w->findChild<QWebEngineView *>();
        QVERIFY(view);

        const int next = server.hits("/next.html");
        view->page()->runJavaScript("document.getElementById('next').click();");
        QTRY_COMPARE_WITH_TIMEOUT(shown.count(), 1, 20000);
        QCOMPARE(server.hits("/next.html"), next + 1);

        // Each reload's print is also the sign that no more came of the loads before.
        for (int n = 1; n <= 3; ++n) {
            reload(w.get());
            QTRY_COMPARE_WITH_TIMEOUT(server.hits("/next.html"), next + 1 + n, 20000);
            QTRY_COMPARE_WITH_TIMEOUT(shown.count(), 1 + n, 20000);
        }
        for (const QList<QVariant> &args : shown)
            QCOMPARE(args.at(0).toString(), frmBrowser::loadedText());
    }

    void pageGetsNoPermissionAndSavesNoDownload()
    {
        auto w = openReal(url("/tzk/guncelleme.shtml"));
        QTRY_COMPARE_WITH_TIMEOUT(panelOf(w.get())->text(), frmBrowser::loadedText(), 20000);
        auto *view = w->findChild<QWebEngineView *>();
        view->page()->runJavaScript(
            "Notification.requestPermission().then(p => document.title = p);");
        QTRY_COMPARE_WITH_TIMEOUT(view->title(), "denied", 10000);
        // Seen after the window's own answer, which is connected first.
        QList<QWebEngineDownloadRequest::DownloadState> answered;
        connect(
            view->page()->profile(), &QWebEngineProfile::downloadRequested, this,
            [&answered](QWebEngineDownloadRequest *download) { answered << download->state(); });
        view->page()->runJavaScript("location.href = '/indir.bin';");
        QTRY_COMPARE_WITH_TIMEOUT(answered.size(), 1, 10000);
        QCOMPARE(answered[0], QWebEngineDownloadRequest::DownloadCancelled);
        QCOMPARE(filesBelow(home->path()), QStringList()); // nothing saved
    }

    // A page's boxes would stop the whole program while up: none shows, even opened forever.
    void pageDialogsNeverShow()
    {
        int boxes = 0;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            if (QWidget *box = QApplication::activeModalWidget()) {
                ++boxes;
                box->close();
            }
        });
        watch.start(50);
        auto w = openReal(url("/soru.html"));
        auto *view = w->findChild<QWebEngineView *>();
        QVERIFY(view);
        QTRY_COMPARE_WITH_TIMEOUT(view->title(), "false:null", 20000);
        // Reloading leaves the page without asking, and loads it again.
        const int before = server.hits("/soru.html");
        reload(w.get());
        QTRY_COMPARE_WITH_TIMEOUT(server.hits("/soru.html"), before + 1, 20000);

        // Nor a file chooser, also for the user's own click: no local file reaches the page.
        auto chooser = openReal(url("/dosya.html"));
        QTRY_COMPARE_WITH_TIMEOUT(panelOf(chooser.get())->text(), frmBrowser::loadedText(), 20000);
        auto *field = chooser->findChild<QWebEngineView *>();
        // A renderer that has loaded may not take input yet: click until the
        // page says it got the click (the chooser is refused each time).
        for (int i = 0; i < 20 && field->title() != "t"; ++i) {
            QTest::mouseClick(field->focusProxy(), Qt::LeftButton, {}, QPoint(20, 20));
            (void)QTest::qWaitFor([&] { return field->title() == "t"; }, 500);
        }
        QCOMPARE(field->title(), "t");
        QTest::qWait(500);

        auto endless = openReal(url("/uyari.html"));
        QTRY_COMPARE_WITH_TIMEOUT(server.hits("/uyari.html"), 1, 20000);
        int ticks = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, [&] { ++ticks; });
        tick.start(20);
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 10, 5000); // the event loop runs on
        QVERIFY(endless->close());
        QCOMPARE(boxes, 0);
    }

    // No window.open, and no file:// page: the window refuses any load of one by its own rule.
    void pageCannotOpenWindowsOrReachLocalFiles()
    {
        auto w = openReal(url("/tzk/guncelleme.shtml"));
        QTRY_COMPARE_WITH_TIMEOUT(panelOf(w.get())->text(), frmBrowser::loadedText(), 20000);
        auto *view = w->findChild<QWebEngineView *>();
        const int windowsBefore = int(QApplication::topLevelWidgets().size());
        // window.open waits for the window's answer: it has come once the script has run.
        bool ran = false;
        view->page()->runJavaScript(
            "window.open('/next.html'); location.href = 'file:///etc/passwd';",
            [&ran](const QVariant &) { ran = true; });
        QTRY_VERIFY_WITH_TIMEOUT(ran, 10000);
        QCOMPARE(int(QApplication::topLevelWidgets().size()), windowsBefore);
        QTemporaryDir local;
        QFile file(local.filePath("yerel.html"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("<title>yerel</title>") > 0);
        file.close();
        QSignalSpy finished(view->page(), &QWebEnginePage::loadFinished);
        view->page()->setUrl(QUrl::fromLocalFile(file.fileName()));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QCOMPARE(finished.at(0).at(0).toBool(), false);
        QCOMPARE(view->url().scheme(), "http");
    }

    // ---- as the main window uses it ----

    void mainWindowShowsOneInstanceAndUnloadsItOnClose()
    {
        frmAna main(player);
        main.setTerminator([] {});
        const QUrl address = url("/tzk/guncelleme.shtml");
        main.browserWindow().setFactory(
            [this, address] { return new frmBrowser(engine, address); });
        const int before = server.hits("/tzk/guncelleme.shtml");
        auto *web = main.findChild<QAction *>("web");
        web->trigger();
        QWidget *first = main.browserWindow().window();
        QVERIFY(first && first->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(panelOf(first)->text(), frmBrowser::loadedText(), 20000);
        web->trigger(); // already open: raised, not reloaded
        QCOMPARE(main.browserWindow().window(), first);
        QTest::qWait(300);
        QCOMPARE(server.hits("/tzk/guncelleme.shtml"), before + 1);
        QCOMPARE(panelOf(first)->text(), frmBrowser::loadedText());

        first->close(); // by its frame: unloaded; the next showing navigates afresh
        QVERIFY(!main.browserWindow().isLoaded());
        web->trigger();
        QWidget *second = main.browserWindow().window();
        QCOMPARE(panelOf(second)->text(), frmBrowser::loadingText());
        QTRY_COMPARE_WITH_TIMEOUT(server.hits("/tzk/guncelleme.shtml"), before + 2, 20000);
    }

    // Last: the engine and the pages' consoles printed nothing and wrote nothing under home.
    void leftNoTraceOnTheTerminalOrDisk()
    {
        QCOMPARE(engineNoise, QStringList());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QTest::qWait(500);
        QCOMPARE(filesBelow(home->path()), QStringList());
    }
};

int main(int argc, char *argv[])
{
    // A private, empty home: whatever the web engine writes would show up here.
    QTemporaryDir tempHome;
    home = &tempHome;
    qputenv("HOME", tempHome.path().toUtf8());
    for (const char *var : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"})
        qunsetenv(var);
    // As in the program: nothing of the web engine is prepared before it is first used.
    QApplication app(argc, argv);
    TestFrmBrowser test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_frm_browser.moc"
