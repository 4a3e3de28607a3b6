// The web engine's sandbox for an ordinary user: where this machine lets such a
// user make namespaces, the update window's page loads with the engine's
// renderer shut in its own, and elsewhere the window goes without the engine.
// The test runs as root; its checks run in a copy of itself as nobody.
#include "http_server.h"
#include "secondary_windows/frm_browser.h"
#include "secondary_windows/web_view.h"
#include "secondary_windows/web_view_loader.h"
#include "window_services/status_panel.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <memory>

#include <unistd.h>

namespace {

constexpr const char *AsUser = "--as-ordinary-user";
constexpr uid_t Nobody = 65534;

QStringList asNobody(const QString &program, const QStringList &arguments)
{
    return QStringList{QString("--reuid=%1").arg(Nobody), QString("--regid=%1").arg(Nobody),
                       "--clear-groups", program} +
           arguments;
}

QString userNamespaceOf(qint64 pid)
{
    char target[64] = {};
    const QByteArray link = "/proc/" + QByteArray::number(pid) + "/ns/user";
    const ssize_t length = readlink(link.constData(), target, sizeof target - 1);
    return length > 0 ? QString::fromLatin1(target, length) : QString();
}

// The engine's sandboxed zygotes, from which its renderers fork.
QList<qint64> sandboxedZygotes()
{
    QList<qint64> found;
    const auto processes = QDir("/proc").entryList(QDir::Dirs);
    for (const QString &name : processes) {
        bool number = false;
        const qint64 pid = name.toLongLong(&number);
        QFile cmdline(QString("/proc/%1/cmdline").arg(name));
        if (!number || pid == getpid() || !cmdline.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = cmdline.readAll();
        if (line.contains("--type=zygote") && !line.contains("--no-zygote-sandbox") &&
            line.contains("--application-name=tst_engine_sandbox"))
            found << pid;
    }
    return found;
}

// As nobody: prints "can" or "cannot", then for "can" whether the page loaded
// and whether the renderers' zygote runs in a user namespace of its own.
int runAsUser(int argc, char *argv[])
{
    QApplication app(argc, argv);
    HttpServer server;
    server.page("/sayfa.html", "<html><head><title>tamam</title></head><body>Güncel</body></html>");
    WebViewFactory *engine = WebViewLoader::factoryFrom(WEBVIEW_MODULE);
    QWidget probe;
    std::unique_ptr<WebView> view(engine ? engine->createWebView(&probe) : nullptr);
    if (!view) {
        std::puts("cannot");
        return 0;
    }
    std::puts("can");
    view.reset();
    frmBrowser window(engine, QUrl(server.base() + "/sayfa.html"));
    window.show();
    auto *panel = window.findChild<StatusPanel *>("PicStatus");
    const bool loaded =
        QTest::qWaitFor([&] { return panel->text() != frmBrowser::loadingText(); }, 60000);
    std::printf("page %s\n",
                loaded && panel->text() == frmBrowser::loadedText() ? "loaded" : "not loaded");
    const QString own = userNamespaceOf(getpid());
    const auto found = sandboxedZygotes();
    const bool shut = !found.isEmpty() && std::all_of(found.begin(), found.end(), [&](qint64 pid) {
        const QString theirs = userNamespaceOf(pid);
        return !theirs.isEmpty() && theirs != own;
    });
    std::printf("renderer %s\n", shut ? "sandboxed" : "not sandboxed");
    return 0;
}

} // namespace

class TestEngineSandbox : public QObject {
    Q_OBJECT

private slots:
    void ordinaryUserGetsTheEngineWhereTheMachineAllowsIt()
    {
        QCOMPARE(getuid(), uid_t(0)); // to become an ordinary user
        QVERIFY(!qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"));
        // Whether this machine lets nobody make the namespaces, asked of
        // util-linux rather than of the code under test.
        QProcess unshare;
        unshare.start("setpriv",
                      asNobody("unshare", {"--user", "--pid", "--net", "--fork", "true"}));
        QVERIFY(unshare.waitForFinished(10000));
        const bool allowed =
            unshare.exitStatus() == QProcess::NormalExit && unshare.exitCode() == 0;

        QTemporaryDir home;
        QVERIFY(home.isValid());
        QVERIFY(chown(qPrintable(home.path()), Nobody, Nobody) == 0);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("XDG_RUNTIME_DIR", home.path());
        env.insert("XDG_CONFIG_HOME", home.path() + "/config");
        env.insert("XDG_CACHE_HOME", home.path() + "/cache");
        child.setProcessEnvironment(env);
        child.start("setpriv", asNobody(QCoreApplication::applicationFilePath(), {AsUser}));
        QVERIFY(child.waitForFinished(120000));
        const QString said = QString::fromUtf8(child.readAllStandardOutput());
        QVERIFY2(child.exitCode() == 0, qPrintable(said + child.readAllStandardError()));
        QCOMPARE(said, allowed ? "can\npage loaded\nrenderer sandboxed\n" : "cannot\n");
    }
};

int main(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i)
        if (qstrcmp(argv[i], AsUser) == 0)
            return runAsUser(argc, argv);
    QCoreApplication app(argc, argv);
    TestEngineSandbox test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_engine_sandbox.moc"
