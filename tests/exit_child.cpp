// The main window in a process of its own, ended as a user would; the parent test
// checks how the process ended. First argument: menu or ctrl-c (the exit
// command), yes (Yes to the exit question), yes-with-about (the same with the
// about window open), web (Ctrl+W with the engine's sandbox left on; prints the
// update window's panel). Further: "sound" plays through the real engine; "bus"
// offers the press service, prints "owner" once it holds the name, and waits for
// a line on standard input then and again at the start of the goodbye.
#include "audio/sound_engine.h"
#include "effects/sounds.h"
#include "main_window/frm_ana.h"
#include "main_window/press_service.h"
#include "main_window/zembra_app.h"
#include "recording_player.h"
#include "secondary_windows/frm_browser.h"
#include "window_services/fonts.h"
#include "window_services/question_box.h"
#include "window_services/status_panel.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

// Until the parent test writes a line.
void waitForTheParent()
{
    char line[16];
    if (!std::fgets(line, sizeof line, stdin))
        std::exit(6);
}

// Says which sound was asked for, then plays it.
class PrintingPlayer final : public EffectPlayer {
public:
    PrintingPlayer(EffectPlayer &player, bool holdBeforePlayOut)
        : player_(player)
        , hold_(holdBeforePlayOut)
    {
    }
    void play(const std::string &path) override
    {
        std::printf("%s ", qPrintable(QFileInfo(QString::fromStdString(path)).fileName()));
        std::fflush(stdout);
        player_.play(path);
    }
    // Says whether any window still shows while the last sound plays out.
    void playOut(std::chrono::milliseconds most) override
    {
        bool shown = false;
        for (const QWidget *window : QApplication::topLevelWidgets())
            shown |= window->isVisible();
        std::printf("%s ", shown ? "shown" : "gone");
        std::fflush(stdout);
        if (hold_)
            waitForTheParent();
        player_.playOut(most);
    }

private:
    EffectPlayer &player_;
    bool hold_;
};

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Fonts::install();
    const QStringList extras = QCoreApplication::arguments().mid(2);
    const bool onTheBus = extras.contains("bus");
    std::unique_ptr<EffectPlayer> sink;
    if (extras.contains("sound"))
        sink = std::make_unique<SoundEngine>();
    else
        sink = std::make_unique<RecordingPlayer>();
    PrintingPlayer player(*sink, onTheBus);
    const QString how = QCoreApplication::arguments().value(1);
    const bool answerYes = how.startsWith("yes");
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
    PressService service([&window](int n) { window.clickEffectButton(n); });
    if (onTheBus) {
        ZembraApp::offerPressService(window, service);
        const QDBusConnection bus = QDBusConnection::sessionBus();
        const QDeadlineTimer deadline(20000);
        while (bus.interface()->serviceOwner(PressService::ServiceName).value() !=
                   bus.baseService() &&
               !deadline.hasExpired())
            QTest::qWait(10);
        std::printf("owner ");
        std::fflush(stdout);
        waitForTheParent();
    }
    if (how == "yes") {
        QTimer::singleShot(0, &window, &QWidget::close);
        return ZembraApp::exec(window);
    }
    if (answerYes) {
        window.findChild<QAction *>("bilgi")->trigger();
        QTimer::singleShot(0, &window, &QWidget::close);
        QTimer::singleShot(300, [&window] {
            std::printf("alive ");
            std::fflush(stdout);
            window.hakWindow().window()->close();
        });
        return ZembraApp::exec(window); // ends by itself once the about window is gone
    }
    if (how == "web") {
        window.browserWindow().setFactory([] { return new frmBrowser(WEBVIEW_MODULE); });
        QTest::keyClick(&window, Qt::Key_W, Qt::ControlModifier);
        auto *panel = window.browserWindow().window()->findChild<StatusPanel *>();
        const QDeadlineTimer deadline(30000);
        while (panel->text() == frmBrowser::loadingText() && !deadline.hasExpired())
            QTest::qWait(20);
        // The sandbox is the user's to switch off, never the program's.
        const bool unsandboxed =
            qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX") ||
            qEnvironmentVariable("QTWEBENGINE_CHROMIUM_FLAGS").contains("sandbox");
        std::printf("%s%s alive", panel->text().trimmed().toUtf8().constData(),
                    unsandboxed ? " unsandboxed" : "");
        return 0;
    }
    if (how == "ctrl-c") {
        QWidget *button = window.findChild<QWidget *>("Command3");
        button->setFocus();
        QTest::keyClick(button, Qt::Key_C, Qt::ControlModifier);
    } else {
        window.findChild<QAction *>("cik")->trigger();
    }
    return 5; // still running: the command did not end the process
}
