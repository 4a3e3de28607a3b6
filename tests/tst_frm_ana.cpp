#include "audio/sound_engine.h"
#include "effects/sounds.h"
#include "env_guard.h"
#include "generated/build_info.h"
#include "main_window/frm_ana.h"
#include "mapped_decoders.h"
#include "recording_player.h"
#include "whole_text.h"
#include "window_services/fonts.h"
#include "window_services/question_box.h"
#include "window_services/status_panel.h"
#include "window_services/style.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QProxyStyle>
#include <QPushButton>
#include <QRawFont>
#include <QStyleOption>
#include <QTest>
#include <QWindow>

#include <memory>

#include <unistd.h>

namespace {

// Each button's caption and status, written out rather than read from the program; N plays N.tzk.
struct PadRow {
    const char *caption;
    const char *status;
};
// clang-format off
const PadRow Pad[20] = {
    {"Kısa Gülme", "     Kısa Gülme !"},
    {"Siren", "          Siren !"},
    {"Bekleme", "        Bekleme !"},
    {"Kırılma", "         Kırılma !"},
    {"Alkış Gülme", "     Alkış Gülme !"},
    {"Kaza Anı", "       Kaza Anı !"},
    {"Buuu", "          Buuu !"},
    {"Öksürük", "        Öksürük !"},
    {"Alkış", "          Alkış !"},
    {"Deli", "          Deli !"},
    {"Polis Düdüğü", "    Polis Düdüğü !"},
    {"Japon İşi", "       Japon İşi !"},
    {"Wooow", "         Wooow !"},
    {"Ah Ha Ha", "       Ah Ha Ha !"},
    {"Patlama", "         Patlama !"},
    {"Araba Geçiş", "     Araba Geçiş !"},
    {"Aaaa", "          Aaaa !"},
    {"Gülme", "         Gülme !"},
    {"Öpücük", "        Öpücük !"},
    {"Remixed by", "      Remixed By"},
};
// clang-format on

std::string effectRequest(const char *file)
{
    return Sounds::effectPath(QCoreApplication::applicationDirPath(), QLatin1String(file))
        .toStdString();
}

int countTextPixels(const QImage &image)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            n += c.red() > 230 && c.green() > 230 && c.blue() < 215;
        }
    return n;
}

} // namespace

class TestFrmAna : public QObject {
    Q_OBJECT

    RecordingPlayer player;
    std::unique_ptr<frmAna> window;
    int terminations = 0;
    int abouts = 0;
    int browsersMade = 0;
    std::vector<QString> questions;
    bool answerYes = false;

    template <typename T = QWidget> T *find(const QString &name) const
    {
        T *w = window->findChild<T *>(name);
        if (!w)
            qWarning("no child %s", qPrintable(name));
        return w;
    }
    StatusPanel *panel() const { return find<StatusPanel>("PicStatus"); }
    QPushButton *button(int n) const { return find<QPushButton>(QString("Command%1").arg(n)); }

    void showActive()
    {
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }

private slots:
    void initTestCase()
    {
        Fonts::install();
        Style::install();
        QuestionBox::setAsker([this](QMessageBox &box) {
            // The box itself is checked here, on every use.
            questions.push_back(box.windowTitle() + QLatin1Char('|') + box.text());
            if (box.icon() != QMessageBox::NoIcon ||
                box.defaultButton() != box.button(QMessageBox::Yes) ||
                box.escapeButton() != box.button(QMessageBox::No) ||
                box.button(QMessageBox::Yes)->text() != "Evet" ||
                box.button(QMessageBox::No)->text() != "Hayır" || box.buttons().size() != 2)
                questions.push_back("malformed box");
            return answerYes;
        });
    }

    void init()
    {
        player.requests.clear();
        player.onPlay = nullptr;
        questions.clear();
        terminations = 0;
        window = std::make_unique<frmAna>(player);
        window->setTerminator([this] { ++terminations; });
        abouts = browsersMade = 0;
        window->hakWindow().setFactory([this] {
            ++abouts;
            return new QWidget;
        });
        window->browserWindow().setFactory([this] {
            ++browsersMade;
            return new QWidget;
        });
    }

    void cleanup()
    {
        window.reset();
        // Windows closed with deferred deletion go now, before the next test.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // ---- start-up ----

    // First, before anything is drawn: start-up cannot afford the image format plugins.
    void showsWithoutImageFormatPlugins()
    {
        showActive();
        window->grab();
        QCOMPARE(mappedImageDecoders(), QStringList());
    }

    void menuBarArrowIsTheStylesOwn_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<Qt::LayoutDirection>("direction");
        for (const int size : {8, 16, 32}) {
            QTest::addRow("%d px, left to right", size) << size << Qt::LeftToRight;
            QTest::addRow("%d px, right to left", size) << size << Qt::RightToLeft;
        }
    }

    void menuBarArrowIsTheStylesOwn()
    {
        QFETCH(int, size);
        QFETCH(Qt::LayoutDirection, direction);
        auto *style = qobject_cast<QProxyStyle *>(QApplication::style());
        QVERIFY(style);
        QStyleOption option;
        option.direction = direction;
        const auto which = QStyle::SP_ToolBarHorizontalExtensionButton;
        const QIcon arrow = style->standardIcon(which, &option);
        const QIcon own = style->baseStyle()->standardIcon(which, &option);
        QVERIFY(!own.isNull()); // and so the arrow, equal to it
        QCOMPARE(arrow.availableSizes(), own.availableSizes());
        QCOMPARE(arrow.pixmap(size).toImage(), own.pixmap(size).toImage());
    }

    // ---- layout ----

    void windowFrameAndFixedGeometry()
    {
        showActive();
        QCOMPARE(window->windowTitle(),
                 QStringLiteral("Zembra v1.1 - ") + QLatin1String(BuildInfo::WebHost));
        QCOMPARE(window->centralWidget()->size(), QSize(395, 324));
        QCOMPARE(window->centralWidget()->y(), window->menuBar()->height());
        QVERIFY(!(window->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(window->windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(!window->windowIcon().isNull());
        window->setWindowState(Qt::WindowMaximized);
        QVERIFY(!(window->windowState() & Qt::WindowMaximized));

        QCOMPARE(panel()->geometry(), QRect(232, 8, 153, 32));
        auto *image = find<QLabel>("Image1");
        QCOMPARE(image->geometry(), QRect(24, 0, 196, 46));
        QCOMPARE(image->pixmap().size(), QSize(196, 46));
        QCOMPARE(image->focusPolicy(), Qt::NoFocus);
        QCOMPARE(QFontInfo(panel()->font()).family(), "DejaVu Sans");
        QVERIFY(panel()->font().bold());

        // Dragging the frame to any size moves and resizes nothing.
        QHash<QString, QRect> before;
        for (QWidget *w : window->centralWidget()->findChildren<QWidget *>())
            before.insert(w->objectName(), w->geometry());
        for (const QSize size : {QSize(700, 600), QSize(150, 90)}) {
            window->resize(size);
            QCoreApplication::processEvents();
            for (QWidget *w : window->centralWidget()->findChildren<QWidget *>())
                QCOMPARE(w->geometry(), before.value(w->objectName()));
        }
    }

    void everyButtonLooksPrintsAndPlays_data()
    {
        QTest::addColumn<int>("number");
        for (int n = 1; n <= 20; ++n)
            QTest::addRow("Command%d", n) << n;
    }

    void everyButtonLooksPrintsAndPlays()
    {
        QFETCH(int, number);
        const QString caption = QString::fromUtf8(Pad[number - 1].caption);
        QPushButton *button = this->button(number);
        QVERIFY(button);
        // The grid's columns and rows in pixels, left to right, top to bottom.
        const int left[] = {24, 120, 216, 312}, top[] = {56, 112, 168, 224, 280};
        QCOMPARE(button->geometry(), QRect(left[(number - 1) % 4], top[(number - 1) / 4], 73, 33));
        QCOMPARE(button->text(), caption);
        QVERIFY2(showsWholeText(button), qPrintable(caption));
        QVERIFY(!button->isDefault() && !button->autoDefault() && button->icon().isNull());
        QCOMPARE(QFontInfo(button->font()).family(), "Liberation Sans");

        QString shownAtRequest;
        player.onPlay = [&](const std::string &) { shownAtRequest = panel()->text(); };
        player.requests.clear();
        QTest::mouseClick(button, Qt::LeftButton);
        const QByteArray file = QByteArray::number(number) + ".tzk";
        QCOMPARE(player.requests, std::vector<std::string>{effectRequest(file)});
        QCOMPARE(shownAtRequest, QString::fromUtf8(Pad[number - 1].status));
        QVERIFY2(showsWholeText(panel()), qPrintable(panel()->text()));
    }

    // As the menu shows it; every key and letter is driven in menuCommandsByEveryRoute.
    void menuTreeAndShortcuts()
    {
        auto *menu = window->menuBar()->findChild<QMenu *>(QStringLiteral("hak"));
        QVERIFY(menu);
        QCOMPARE(window->menuBar()->actions(), QList<QAction *>{menu->menuAction()});
        QCOMPARE(menu->title(), "Hakkında");
        QStringList items;
        for (const QAction *a : menu->actions()) {
            items << a->objectName() + u'|' + a->text() + u'|' +
                         a->shortcut().toString(QKeySequence::PortableText);
            QVERIFY(a->isEnabled() && a->isVisible() && !a->isCheckable());
        }
        QCOMPARE(items, (QStringList{"intro|&Intro|Ctrl+I", "bilgi|&Bilgi|Ctrl+B",
                                     "web|&Web site|Ctrl+W", "bos||", "cik|&Çık|Ctrl+C"}));
        QVERIFY(menu->actions().at(3)->isSeparator());
    }

    void tabOrderAndInitialFocus()
    {
        showActive();
        QCOMPARE(QApplication::focusWidget(), button(1));
        QStringList expected{"PicStatus"};
        for (int n = 2; n <= 20; ++n)
            expected << QString("Command%1").arg(n);
        expected << "Command1";
        for (const QString &name : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), name);
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget()->objectName(), "Command20");
    }

    void everyTextHasItsGlyphs()
    {
        QList<QPair<QFont, QString>> texts;
        for (int n = 1; n <= 20; ++n) {
            texts.append({button(n)->font(), button(n)->text()});
            texts.append({panel()->font(), QString::fromUtf8(Pad[n - 1].status)});
        }
        texts.append({panel()->font(), " Zembra  V.1.0"});
        for (QAction *a : window->findChildren<QAction *>())
            texts.append({Fonts::windowDefault(), a->text()});
        texts.append(
            {Fonts::windowDefault(), "Hakkında Zembra 'den çıkmak istiyormusunuz? Evet Hayır"});
        texts.append({Fonts::windowDefault(), window->windowTitle()});
        for (const auto &[font, text] : texts) {
            // The face itself, not the fallbacks Qt would borrow glyphs from.
            const QRawFont face = QRawFont::fromFont(font);
            for (const char32_t ch : text.toUcs4())
                QVERIFY2(ch < 0x20 || face.supportsCharacter(ch),
                         qPrintable(QStringLiteral("%1 lacks U+%2 in \"%3\"")
                                        .arg(QFontInfo(font).family())
                                        .arg(uint(ch), 4, 16, QLatin1Char('0'))
                                        .arg(text)));
        }
    }

    // ---- behaviour ----

    void keyboardPressesTheFocusedButton_data()
    {
        QTest::addColumn<int>("key");
        QTest::newRow("space") << int(Qt::Key_Space);
        QTest::newRow("enter") << int(Qt::Key_Return);
        QTest::newRow("keypad enter") << int(Qt::Key_Enter);
    }

    void keyboardPressesTheFocusedButton()
    {
        QFETCH(int, key);
        showActive();
        button(2)->setFocus();
        player.requests.clear();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QCOMPARE(player.requests, std::vector<std::string>{effectRequest("2.tzk")});
        QCOMPARE(panel()->text(), "          Siren !");
    }

    // The banner opens the about window once, the panel shows the version; nothing else happens.
    void bannerAndPanelClicksAreSilent()
    {
        showActive();
        player.requests.clear();
        for (int click = 0; click < 2; ++click)
            QTest::mouseClick(find("Image1"), Qt::LeftButton);
        QVERIFY(window->hakWindow().isLoaded());
        QCOMPARE(abouts, 1);
        QCOMPARE(browsersMade, 0);
        QVERIFY(player.requests.empty());
        QCOMPARE(panel()->text(), QString());

        QTest::mouseClick(button(20), Qt::LeftButton);
        QCOMPARE(panel()->text(), "      Remixed By");
        player.requests.clear();
        QTest::mouseClick(panel(), Qt::LeftButton);
        QCOMPARE(panel()->text(), " Zembra  V.1.0");
        QVERIFY(player.requests.empty());
        QCOMPARE(terminations, 0);
    }

    void panelTextIsDrawnAndSurvivesRepaints()
    {
        // The intro plays at load and prints nothing.
        QCOMPARE(player.requests, std::vector<std::string>{effectRequest("00.tzk")});
        showActive();
        QCOMPARE(countTextPixels(panel()->grab().toImage()), 0);
        QTest::mouseClick(button(9), Qt::LeftButton);
        const int drawn = countTextPixels(panel()->grab().toImage());
        QVERIFY(drawn > 30);
        window->showMinimized();
        window->hide();
        window->showNormal();
        QCOMPARE(countTextPixels(panel()->grab().toImage()), drawn);
        QCOMPARE(panel()->text(), "          Alkış !");
    }

    void frameCloseAsksAndAlwaysPlaysTheClosingSound_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("No keeps the window") << false;
        QTest::newRow("Yes closes it") << true;
    }

    // Whatever the answer, the closing sound plays and the update window goes; a minimised about
    // window outlives the main one and must come back into view, or nothing is left to close.
    void frameCloseAsksAndAlwaysPlaysTheClosingSound()
    {
        QFETCH(bool, yes);
        showActive();
        window->browserWindow().show();
        QVERIFY(window->browserWindow().isLoaded());
        window->hakWindow().show();
        QWidget *about = window->hakWindow().window();
        QVERIFY(about);
        about->setWindowState(Qt::WindowMinimized);
        player.requests.clear();
        answerYes = yes;
        window->close();
        QCOMPARE(questions, std::vector<QString>{"Zembra|Zembra 'den çıkmak istiyormusunuz?"});
        QCOMPARE(player.requests, std::vector<std::string>{effectRequest("01.tzk")});
        QCOMPARE(window->isVisible(), !yes);
        QVERIFY(!window->browserWindow().isLoaded());
        QCOMPARE(terminations, 0);
        QCOMPARE(browsersMade, 1);
        QCOMPARE(window->hakWindow().window(), about);
        QCOMPARE(about->isMinimized(), !yes);
    }

    // Each command by its Ctrl key, by F10 or Alt and its letter, and by mouse: its own handler
    // and nothing else; the exit command ends the program with no question.
    void menuCommandsByEveryRoute_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("ctrlKey");
        QTest::addColumn<QString>("letter"); // the access letter, as typed
        QTest::addColumn<QString>("outcome");
        const struct {
            const char *command;
            Qt::Key ctrlKey;
            const char *letter, *outcome;
        } commands[] = {
            {"intro", Qt::Key_I, "i", "00.tzk"},
            {"bilgi", Qt::Key_B, "b", "about"},
            {"web", Qt::Key_W, "w", "update"},
            {"cik", Qt::Key_C, "ç", "01.tzk end"},
        };
        for (const auto &c : commands)
            for (const char *route : {"Ctrl", "F10", "Alt", "mouse"})
                QTest::addRow("%s by %s", c.command, route)
                    << route << c.command << int(c.ctrlKey) << c.letter << c.outcome;
    }

    void menuCommandsByEveryRoute()
    {
        QFETCH(QString, route);
        QFETCH(QString, command);
        QFETCH(int, ctrlKey);
        QFETCH(QString, letter);
        QFETCH(QString, outcome);
        showActive();
        button(7)->setFocus();
        player.requests.clear();
        auto *hak = window->findChild<QMenu *>("hak");
        if (route == "Ctrl") {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(ctrlKey), Qt::ControlModifier);
        } else if (route == "mouse") {
            // Through the windows, as the platform delivers clicks: a press handed
            // straight to the menu bar opens the menu behind the back of Qt 6.8's
            // popup handling, and the menu then closes at the next press.
            QMenuBar *bar = window->menuBar();
            QTest::mouseClick(
                window->windowHandle(), Qt::LeftButton, {},
                bar->mapTo(window.get(), bar->actionGeometry(hak->menuAction()).center()));
            QVERIFY(hak->isVisible());
            QAction *item = window->findChild<QAction *>(command);
            QTest::mouseClick(hak->windowHandle(), Qt::LeftButton, {},
                              hak->actionGeometry(item).center());
        } else {
            if (route == "F10") {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_F10);
            } else {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Alt, Qt::AltModifier);
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down); // opens it
            }
            QVERIFY(hak->isVisible());
            QTest::sendKeyEvent(QTest::Click, hak, Qt::Key(letter.toUpper().at(0).unicode()),
                                letter, Qt::NoModifier);
        }
        QStringList happened;
        for (const std::string &request : player.requests)
            happened << QFileInfo(QString::fromStdString(request)).fileName();
        if (window->hakWindow().isLoaded())
            happened << "about";
        if (window->browserWindow().isLoaded())
            happened << "update";
        if (terminations)
            happened << "end";
        QCOMPARE(happened.join(u' '), outcome);
        QVERIFY(questions.empty());
        QVERIFY(!hak->isVisible());
    }

    void realProcessEndsWhenItShould_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QByteArray>("output");
        // The child prints each sound asked for and "gone" once every window has vanished; the
        // exit command must end it before its own end (Ctrl+C: menuCommandsByEveryRoute).
        QTest::newRow("menu") << "menu" << QByteArray("00.tzk 01.tzk gone");
        // After Yes, the open about window keeps the program alive until it closes.
        QTest::newRow("Yes with the about window open")
            << "yes-with-about" << QByteArray("00.tzk 01.tzk alive gone");
        // The web engine cannot start its sandbox: the page failed, and the program lives on.
        QTest::newRow("Ctrl+W where the web engine cannot start")
            << "web" << QByteArray("00.tzk Sayfa Yüklenemedi. ! alive");
    }

    void realProcessEndsWhenItShould()
    {
        QFETCH(QString, how);
        QFETCH(QByteArray, output);
        QProcess child;
        // The sandbox as users have it, never switched off.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QTWEBENGINE_DISABLE_SANDBOX");
        env.remove("QTWEBENGINE_CHROMIUM_FLAGS");
        child.setProcessEnvironment(env);
        // Not root: root in a user namespace of its own, where the engine refuses as for root.
        QStringList command{QStringLiteral(EXIT_CHILD), how};
        const QStringList asRoot{"unshare", "--user", "--map-root-user"};
        if (how == "web" && geteuid() != 0 &&
            QProcess::execute(asRoot.first(), asRoot.mid(1) << "true") == 0)
            command = asRoot + command;
        child.start(command.first(), command.mid(1));
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(child.readAllStandardOutput().trimmed(), output);
    }

    void withNoAudioDeviceThePanelStillNamesTheEffect()
    {
        const EnvGuard env({"SDL_AUDIODRIVER", "PULSE_SERVER"});
        qputenv("SDL_AUDIODRIVER", "pulseaudio");
        qputenv("PULSE_SERVER", "unix:/nonexistent/zembra-no-server");
        // Both go before the environment is put back.
        SoundEngine real;
        frmAna silent(real);
        QTest::mouseClick(silent.findChild<QWidget *>("Command15"), Qt::LeftButton);
        QCOMPARE(silent.findChild<StatusPanel *>()->text(), "         Patlama !");
        real.waitUntilHandled();
        QVERIFY(real.outputName().empty());
    }
};

QTEST_MAIN(TestFrmAna)
#include "tst_frm_ana.moc"
