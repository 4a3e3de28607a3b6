// Runs the main window in a process of its own and ends it the way a user would;
// the parent test checks how the process ended.
//   menu, ctrl-c: the exit command, which must end the process at once.
//   yes-with-about: Yes to the exit question while the about window is open.
//   web: Ctrl+W with the web engine's sandbox left on; prints what the update
//   window's panel ends up showing.
#include "effects/sounds.h"
#include "main_window/frm_ana.h"
#include "recording_player.h"
#include "secondary_windows/frm_browser.h"
#include "window_services/fonts.h"
#include "window_services/question_box.h"
#include "window_services/status_panel.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QTest>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Fonts::install();
    RecordingPlayer player;
    player.onPlay = [](const std::string &path) {
        std::printf("%s ", QFileInfo(QString::fromStdString(path)).fileName().toUtf8().constData());
        std::fflush(stdout);
    };
    const QString how = QCoreApplication::arguments().value(1);
    const bool answerYes = how == QLatin1String("yes-with-about");
    QuestionBox::setAsker([answerYes](QMessageBox &) {
        if (!answerYes) {
            std::puts("asked");
            std::exit(3);
        }
        return true;
    });
    frmAna window(player);
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        return 4;
    if (answerYes) {
        window.findChild<QAction *>(QStringLiteral("bilgi"))->trigger();
        QTimer::singleShot(0, &window, &QWidget::close);
        QTimer::singleShot(300, [&window] {
            std::printf("alive ");
            std::fflush(stdout);
            window.hakWindow().window()->close();
        });
        return app.exec(); // ends by itself once the about window is gone
    }
    if (how == QLatin1String("web")) {
        window.browserWindow().setFactory(
            [] { return new frmBrowser(QStringLiteral(WEBVIEW_MODULE)); });
        QTest::keyClick(&window, Qt::Key_W, Qt::ControlModifier);
        auto *panel = window.browserWindow().window()->findChild<StatusPanel *>();
        const QDeadlineTimer deadline(30000);
        while (panel->text() == frmBrowser::loadingText() && !deadline.hasExpired())
            QTest::qWait(20);
        // The sandbox is the user's to switch off, never the program's.
        const bool unsandboxed =
            qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX") ||
            qEnvironmentVariable("QTWEBENGINE_CHROMIUM_FLAGS").contains(QLatin1String("sandbox"));
        std::printf("%s%s alive", panel->text().trimmed().toUtf8().constData(),
                    unsandboxed ? " unsandboxed" : "");
        return 0;
    }
    if (how == QLatin1String("ctrl-c")) {
        QWidget *button = window.findChild<QWidget *>(QStringLiteral("Command3"));
        button->setFocus();
        QTest::keyClick(button, Qt::Key_C, Qt::ControlModifier);
    } else {
        window.findChild<QAction *>(QStringLiteral("cik"))->trigger();
    }
    return 5; // still running: the command did not end the process
}
