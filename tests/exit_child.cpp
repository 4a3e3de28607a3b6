// Runs the main window in a process of its own and ends it with the exit command,
// the way a user would; the parent test checks how the process ended.
#include "fonts.h"
#include "effects/sounds.h"
#include "frm_ana.h"
#include "question_box.h"
#include "recording_player.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QTest>

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
    Sounds::setPlayer(&player);
    QuestionBox::setAsker([](QMessageBox &) {
        std::puts("asked");
        std::exit(3);
        return false;
    });
    frmAna window;
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        return 4;
    const QString how = QCoreApplication::arguments().value(1);
    if (how == QLatin1String("ctrl-c")) {
        QWidget *button = window.findChild<QWidget *>(QStringLiteral("Command3"));
        button->setFocus();
        QTest::keyClick(button, Qt::Key_C, Qt::ControlModifier);
    } else {
        window.findChild<QAction *>(QStringLiteral("cik"))->trigger();
    }
    return 5; // still running: the command did not end the process
}
