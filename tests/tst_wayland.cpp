// On a Wayland session: the main window is mapped by the compositor under the
// desktop entry's app id, and a press on a button prints and plays.
// The same binary is the program's stand-in when started with --child.
#include "main_window/app_setup.h"
#include "main_window/frm_ana.h"
#include "recording_player.h"
#include "window_services/fonts.h"
#include "window_services/status_panel.h"

#include <QApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <cstdio>

namespace {

int runChild(int argc, char *argv[])
{
    QApplication app(argc, argv);
    AppSetup::describeApplication();
    Fonts::install();
    RecordingPlayer player;
    frmAna window(player);
    window.setTerminator([] {});
    window.show();
    if (!QTest::qWaitForWindowExposed(&window, 10000))
        return 2;
    QTest::mouseClick(window.findChild<QWidget *>("Command5"), Qt::LeftButton);
    std::printf("platform=%s\n", qPrintable(QGuiApplication::platformName()));
    std::printf("panel=%s\n", window.findChild<StatusPanel *>()->text().toUtf8().constData());
    for (const std::string &path : player.requests)
        std::printf("played=%s\n", qPrintable(QFileInfo(QString::fromStdString(path)).fileName()));
    return 0;
}

} // namespace

class TestWayland : public QObject {
    Q_OBJECT

private slots:
    void windowMapsAndAButtonPlays()
    {
        QVERIFY2(qEnvironmentVariable("QT_QPA_PLATFORM") == "wayland" &&
                     qEnvironmentVariableIsSet("WAYLAND_DISPLAY"),
                 "needs a Wayland compositor: run through with_wayland.sh");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // The client's side of the protocol, as the compositor receives it.
        env.insert("WAYLAND_DEBUG", "client");
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {"--child"});
        QVERIFY(child.waitForFinished(60000));
        const QString out = QString::fromUtf8(child.readAllStandardOutput());
        const QString protocol = QString::fromUtf8(child.readAllStandardError());
        QVERIFY2(child.exitCode() == 0, qPrintable(protocol.right(2000)));
        QVERIFY2(out.contains("platform=wayland\n"), qPrintable(out));
        QVERIFY2(protocol.contains("set_app_id(\"org.example.Zembra\")"),
                 "no app id matching the desktop entry");
        QVERIFY2(protocol.contains("set_title(\"Zembra v1.1 - "), "no title");
        QVERIFY2(out.contains("panel=     Alkış Gülme !\n"), qPrintable(out));
        QVERIFY2(out.contains("played=00.tzk\nplayed=5.tzk\n"), qPrintable(out));
    }
};

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestWayland test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wayland.moc"
