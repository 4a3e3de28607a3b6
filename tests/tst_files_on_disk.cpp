// The program writes no file and keeps the terminal quiet: run it on a real X
// server with an empty home, open the update-notice window, reload it, close it
// and end, then walk the home folder, hidden folders included.
//
// The same binary is the program's stand-in when started with --child.
#include "audio/sound_engine.h"
#include "effects/sounds.h"
#include "files_below.h"
#include "http_server.h"
#include "main_window/app_setup.h"
#include "main_window/frm_ana.h"
#include "secondary_windows/frm_browser.h"
#include "window_services/fonts.h"
#include "window_services/status_panel.h"
#include "window_services/style.h"

#include <QAction>
#include <QApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace {

int fail(const char *step)
{
    std::fprintf(stderr, "child: %s\n", step);
    return 2;
}

// Set up as main() does, with the web view module from the build and the page
// from a local server.
int runChild(int argc, char *argv[])
{
    AppSetup::beforeApplication();
    QApplication app(argc, argv);
    Fonts::install();
    Style::install();
    SoundEngine player;
    HttpServer server;
    server.page("/tzk/guncelleme.shtml",
                "<html><body><p>Yeni s\xc3\xbcr\xc3\xbcm yok.</p></body></html>");
    const QUrl address(server.base() + "/tzk/guncelleme.shtml");
    {
        frmAna window(player);
        window.browserWindow().setFactory(
            [address] { return new frmBrowser(WEBVIEW_MODULE, address); });
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            return fail("main window never shown");
        window.findChild<QAction *>("web")->trigger();
        QWidget *web = window.browserWindow().window();
        if (!web)
            return fail("no update window");
        auto *panel = web->findChild<StatusPanel *>("PicStatus");
        if (!QTest::qWaitFor([&] { return panel->text() == frmBrowser::loadedText(); }, 30000))
            return fail("page never loaded");
        QSignalSpy shown(panel, &StatusPanel::shown);
        QTest::mouseClick(web->findChild<QWidget *>("Image1"), Qt::LeftButton);
        if (!shown.wait(30000) || panel->text() != frmBrowser::loadedText())
            return fail("reload never finished");
        web->close();
        QTest::qWait(500);
    }
    return 0;
}

} // namespace

class TestFilesOnDisk : public QObject {
    Q_OBJECT

private slots:
    void webWindowLeavesHomeEmpty()
    {
        QVERIFY2(qEnvironmentVariable("QT_QPA_PLATFORM") == "xcb" &&
                     qEnvironmentVariableIsSet("DISPLAY"),
                 "needs a real X server: run through with_display.sh");
        QTemporaryDir home;
        QVERIFY(home.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        // The program itself turns off Mesa's shader cache, not whoever runs the test.
        for (const char *var : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                "XDG_STATE_HOME", "MESA_SHADER_CACHE_DISABLE"})
            env.remove(var);
        // Root cannot use the browser's sandbox.
        env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {"--child"});
        QVERIFY(child.waitForFinished(120000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        const QString said = QString::fromLocal8Bit(child.readAllStandardError());
        QVERIFY2(child.exitCode() == 0, qPrintable(said));
        // Nor does it print Qt's reports and warnings about the engine's start on
        // the terminal, which only a real X server brings out.
        for (const QString &line : said.split('\n'))
            QVERIFY2(!line.contains("AA_ShareOpenGLContexts") &&
                         !line.contains("initialized from a plugin") &&
                         !line.startsWith("qt.webenginecontext"),
                     qPrintable(line));
        QStringList files = filesBelow(home.path());
        // The sound server's client library keeps its own cookie there.
        files.removeAll(".config/pulse/cookie");
        QCOMPARE(files, QStringList());
    }
};

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestFilesOnDisk test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_files_on_disk.moc"
