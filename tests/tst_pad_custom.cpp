// The user's own pad: a sound dropped on a button through the X server's drag
// and drop, the buttons' context menu by mouse and keyboard, captions of the
// user's own, the way back to the kit, and the files all that writes.
//
// The same binary is the drag's source (--drag-source FILE) and a copy to be
// killed (--copy SOURCE TARGET SETTINGS) when started so.
#include "audio/sound_decoder.h"
#include "effects/pad_settings.h"
#include "effects/sound_import.h"
#include "effects/sounds.h"
#include "main_window/frm_ana.h"
#include "recording_player.h"
#include "wav.h"
#include "window_services/fonts.h"
#include "window_services/status_panel.h"

#include <QApplication>
#include <QDrag>
#include <QFile>
#include <QInputDialog>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <sndfile.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Mouse and keyboard through the X server, as the user's own would be.
class XInput {
public:
    XInput()
        : dpy_(XOpenDisplay(nullptr))
    {
    }
    ~XInput()
    {
        if (dpy_)
            XCloseDisplay(dpy_);
    }
    bool usable() const
    {
        int event, error, major, minor;
        return dpy_ && XTestQueryExtension(dpy_, &event, &error, &major, &minor);
    }
    void move(QPoint at)
    {
        XTestFakeMotionEvent(dpy_, -1, at.x(), at.y(), CurrentTime);
        XFlush(dpy_);
    }
    void button(unsigned which, bool down)
    {
        XTestFakeButtonEvent(dpy_, which, down, CurrentTime);
        XFlush(dpy_);
    }
    void click(QPoint at, unsigned which)
    {
        move(at);
        button(which, true);
        button(which, false);
    }
    void key(KeySym sym, bool down)
    {
        XTestFakeKeyEvent(dpy_, XKeysymToKeycode(dpy_, sym), down, CurrentTime);
        XFlush(dpy_);
    }
    void tap(KeySym sym, KeySym modifier = NoSymbol)
    {
        if (modifier != NoSymbol)
            key(modifier, true);
        key(sym, true);
        key(sym, false);
        if (modifier != NoSymbol)
            key(modifier, false);
    }

private:
    Display *dpy_;
};

QPoint centre(const QWidget *w)
{
    return w->mapToGlobal(w->rect().center());
}

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

bool put(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray wave(std::size_t frames)
{
    const std::vector<std::uint8_t> bytes = Wav::build(Wav::ramp(frames), 1, 48000);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

bool writeFlac(const QString &path, const std::vector<std::int16_t> &samples)
{
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    const sf_count_t n = sf_writef_short(file, samples.data(), sf_count_t(samples.size()));
    sf_close(file);
    return n == sf_count_t(samples.size());
}

// What the player's decoder makes of a file, at the rate of the file itself.
std::vector<std::int16_t> decoded(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    std::unique_ptr<SoundDecoder> decoder = fd < 0 ? nullptr : SoundDecoder::open(fd, 48000);
    std::vector<std::int16_t> out;
    if (!decoder || decoder->channels() != 1)
        return out;
    std::int16_t chunk[4096];
    while (const std::size_t n = decoder->read(chunk, 4096))
        out.insert(out.end(), chunk, chunk + n);
    return out;
}

// Picks a file up on a press and drags it until the drop, then says how it ended.
class DragSource : public QWidget {
public:
    explicit DragSource(const QString &file)
        : file_(file)
    {
    }

protected:
    void mousePressEvent(QMouseEvent *) override
    {
        std::printf("dragging\n");
        std::fflush(stdout);
        auto *mime = new QMimeData;
        mime->setUrls({QUrl::fromLocalFile(file_)});
        auto *drag = new QDrag(this);
        drag->setMimeData(mime);
        // The target's answer: only then does a release drop the file.
        QObject::connect(drag, &QDrag::actionChanged, [](Qt::DropAction action) {
            std::printf("action %d\n", int(action));
            std::fflush(stdout);
        });
        const Qt::DropAction done = drag->exec(Qt::CopyAction);
        std::printf("dropped %d\n", int(done));
        std::fflush(stdout);
        QCoreApplication::quit();
    }

private:
    QString file_;
};

int runDragSource(int argc, char *argv[])
{
    QApplication app(argc, argv);
    DragSource source(QString::fromLocal8Bit(argv[2]));
    source.setGeometry(500, 340, 100, 100);
    source.show();
    if (!QTest::qWaitForWindowExposed(&source))
        return 2;
    const QPoint at = centre(&source);
    std::printf("shown %d %d\n", at.x(), at.y());
    std::fflush(stdout);
    return app.exec();
}

// A caption saved, then a sound copied: the parent kills it during the copy.
int runCopy(char *argv[])
{
    if (!PadSettings::setCaption(7, QStringLiteral("Eski ad"), QString::fromLocal8Bit(argv[4])))
        return 2;
    return SoundImport::copy(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]))
                   .isEmpty()
               ? 0
               : 3;
}

} // namespace

class TestPadCustom : public QObject {
    Q_OBJECT

    XInput x;
    RecordingPlayer player;
    std::unique_ptr<QTemporaryDir> home;
    std::unique_ptr<frmAna> window;
    QMenu *menu = nullptr;
    int clicks = 0;

    QString configFile() const
    {
        return home->filePath(QStringLiteral("config/zembra/zembra.conf"));
    }
    QString ownSound(int n) const
    {
        return home->filePath(QStringLiteral("data/zembra/%1.tzk").arg(n));
    }
    QString kitSound(int n) const
    {
        return Sounds::effectPath(QCoreApplication::applicationDirPath(),
                                  QStringLiteral("%1.tzk").arg(n));
    }
    QPushButton *button(int n) const
    {
        return window->findChild<QPushButton *>(QStringLiteral("Command%1").arg(n));
    }
    StatusPanel *panel() const
    {
        return window->findChild<StatusPanel *>(QStringLiteral("PicStatus"));
    }

    void showWindow()
    {
        window = std::make_unique<frmAna>(player);
        window->move(0, 0);
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }

    // Opens button n's context menu by the mouse, the Menu key or Shift+F10.
    void openMenu(const QString &way, int n)
    {
        menu = nullptr;
        if (way == QLatin1String("mouse")) {
            // Never where the last click was, which would make it a double click.
            clicks = (clicks + 1) % 3;
            x.click(centre(button(n)) + QPoint(10 * (clicks - 1), 0), 3);
        } else {
            button(n)->setFocus();
            QTRY_VERIFY(button(n)->hasFocus());
            x.tap(way == QLatin1String("Menu key") ? XK_Menu : XK_F10,
                  way == QLatin1String("Menu key") ? NoSymbol : XK_Shift_L);
        }
        QTRY_VERIFY((menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())));
    }

    // Answers the next modal dialog once it is up.
    void whenModal(std::function<void(QWidget *)> act)
    {
        auto *timer = new QTimer(window.get());
        timer->setInterval(10);
        connect(timer, &QTimer::timeout, timer, [timer, act] {
            if (QWidget *dialog = QApplication::activeModalWidget()) {
                timer->stop();
                timer->deleteLater();
                act(dialog);
            }
        });
        timer->start();
    }

    void rename(int n, const QString &caption)
    {
        openMenu(QStringLiteral("mouse"), n);
        QVERIFY(menu);
        whenModal([caption](QWidget *dialog) {
            auto *input = qobject_cast<QInputDialog *>(dialog);
            if (!input) {
                dialog->close();
                return;
            }
            input->setTextValue(caption);
            input->accept();
        });
        QSignalSpy shown(panel(), &StatusPanel::shown);
        x.tap(XK_a);
        QVERIFY(shown.wait(10000));
    }

    // Drags `file` from a program of its own onto button n through the X
    // server, until the button has said what it made of it.
    void dragOnto(const QString &file, int n)
    {
        QProcess source;
        source.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--drag-source"), file});
        const auto line = [&source] {
            while (!source.canReadLine())
                if (!source.waitForReadyRead(20000))
                    return QByteArray();
            return source.readLine().trimmed();
        };
        // The target's answers as the drag passes over the window, up to `until`.
        const auto lineAfterActions = [&line](const QByteArray &until) {
            QByteArray said = line();
            while (said.startsWith("action ") && said != until)
                said = line();
            return said;
        };
        const QList<QByteArray> shown = line().split(' ');
        QCOMPARE(shown.value(0), QByteArray("shown"));
        const QPoint from(shown.value(1).toInt(), shown.value(2).toInt());
        x.move(from);
        x.button(1, true);
        QCOMPARE(line(), QByteArray("dragging"));
        // Step by step onto the button, until it shows that it will take the file.
        const QPoint to = centre(button(n));
        int step = 0;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         step = std::min(step + 1, 20);
                         x.move(from + (to - from) * step / 20 + QPoint(step % 2, 0));
                         return button(n)->isDown();
                     },
                     20000),
                 "the button never showed that it would take the file");
        QCOMPARE(lineAfterActions(QByteArray("action 1")), QByteArray("action 1"));
        QSignalSpy shownSpy(panel(), &StatusPanel::shown);
        x.button(1, false);
        QVERIFY(shownSpy.wait(20000));
        QCOMPARE(lineAfterActions({}), QByteArray("dropped 1")); // a copy
        QVERIFY(source.state() == QProcess::NotRunning || source.waitForFinished(20000));
        QCOMPARE(source.exitCode(), 0);
        QVERIFY(!button(n)->isDown());
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY2(x.usable(), "needs XTest on the X server");
        Fonts::install();
    }

    void init()
    {
        home = std::make_unique<QTemporaryDir>();
        QVERIFY(home->isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home->filePath(QStringLiteral("config"))));
        qputenv("XDG_DATA_HOME", QFile::encodeName(home->filePath(QStringLiteral("data"))));
        player.requests.clear();
    }

    void cleanup()
    {
        x.button(1, false); // should a drag have failed half way
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // ---- drag and drop ----

    void dropOnAButton_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("said");
        QTest::newRow("FLAC") << "flac"
                              << "Yeni ses hazır !";
        QTest::newRow("text file") << "text"
                                   << "Ses dosyası değil !";
        QTest::newRow("folder") << "folder"
                                << "Klasör ses değil !";
    }

    void dropOnAButton()
    {
        QFETCH(QString, kind);
        QFETCH(QString, said);
        const std::vector<std::int16_t> samples = Wav::ramp(24000);
        const QString file = home->filePath(QStringLiteral("köpek havlaması"));
        if (kind == QLatin1String("flac"))
            QVERIFY(writeFlac(file, samples));
        else if (kind == QLatin1String("text"))
            QVERIFY(put(file, "Bu bir ses değil.\n"));
        else
            QVERIFY(QDir().mkpath(file));
        showWindow();
        dragOnto(file, 10);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(panel()->text(), said);
        // The next press plays what was dropped, sample for sample, or the kit's.
        x.click(centre(button(10)), 1);
        QTRY_COMPARE(panel()->text(), QStringLiteral("          Deli !"));
        const bool taken = kind == QLatin1String("flac");
        QCOMPARE(QString::fromStdString(player.requests.back()),
                 taken ? ownSound(10) : kitSound(10));
        QCOMPARE(QFileInfo::exists(ownSound(10)), taken);
        if (taken) {
            QVERIFY(QFile::remove(file)); // the button no longer needs the original
            QCOMPARE(decoded(ownSound(10)), samples);
        }
        QCOMPARE(button(10)->text(), QStringLiteral("Deli"));
    }

    // ---- the context menu ----

    void contextMenuRenames_data()
    {
        QTest::addColumn<QString>("way");
        QTest::addColumn<int>("number");
        QTest::newRow("right click") << "mouse" << 7;
        QTest::newRow("Menu key") << "Menu key" << 12;
        QTest::newRow("Shift+F10") << "Shift+F10" << 20;
    }

    void contextMenuRenames()
    {
        QFETCH(QString, way);
        QFETCH(int, number);
        showWindow();
        openMenu(way, number);
        QVERIFY(menu);
        QCOMPARE(menu->objectName(), QStringLiteral("contextMenu"));
        QVERIFY(!menu->accessibleName().isEmpty());
        QStringList entries;
        for (const QAction *action : menu->actions())
            entries << action->text() + (action->isEnabled() ? QString() : QStringLiteral(" (-)"));
        QCOMPARE(entries, (QStringList{QStringLiteral("Ses &dosyası seç…"),
                                       QStringLiteral("&Adını değiştir…"),
                                       QStringLiteral("&Kitin sesine dön (-)")}));
        whenModal([](QWidget *dialog) {
            auto *input = qobject_cast<QInputDialog *>(dialog);
            if (!input) {
                dialog->close();
                return;
            }
            input->setTextValue(QStringLiteral("Ay & Su"));
            input->accept();
        });
        QSignalSpy shown(panel(), &StatusPanel::shown);
        x.tap(XK_a);
        QVERIFY(shown.wait(10000));
        const QString caption = QStringLiteral("Ay & Su");
        QCOMPARE(panel()->text(), caption + QStringLiteral(" !"));
        QCOMPARE(button(number)->text(), QStringLiteral("Ay && Su"));
        QCOMPARE(button(number)->accessibleName(), caption);
        QCOMPARE(button(number)->toolTip(), caption);
        // Pressed, it names itself so; and the next start shows it again.
        x.click(centre(button(number)), 1);
        QTRY_COMPARE(player.requests.back(), kitSound(number).toStdString());
        QCOMPARE(panel()->text(), caption + QStringLiteral(" !"));
        window.reset();
        showWindow();
        QCOMPARE(button(number)->accessibleName(), caption);
        QCOMPARE((PadSettings::captions(configFile())), (QMap<int, QString>{{number, caption}}));
    }

    void captionTooWideIsElided()
    {
        showWindow();
        const QString caption(20, QLatin1Char('W'));
        rename(3, caption);
        if (QTest::currentTestFailed())
            return;
        const QString face = button(3)->text();
        QVERIFY2(face.endsWith(QChar(0x2026)) && face.size() < caption.size(), qPrintable(face));
        QVERIFY(button(3)->fontMetrics().horizontalAdvance(face) < button(3)->width());
        QCOMPARE(button(3)->toolTip(), caption);
        QCOMPARE(button(3)->accessibleName(), caption);
        QCOMPARE(panel()->text(), caption + QStringLiteral(" !"));
    }

    void badCaptionChangesNothing_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("said");
        QTest::newRow("empty") << ""
                               << "Ad boş olamaz !";
        QTest::newRow("only spaces") << "    "
                                     << "Ad boş olamaz !";
        QTest::newRow("tab") << "Köpek\tKedi"
                             << "Adda geçersiz harf !";
        QTest::newRow("escape") << "Köpek\x1b[31m"
                                << "Adda geçersiz harf !";
    }

    void badCaptionChangesNothing()
    {
        QFETCH(QString, caption);
        QFETCH(QString, said);
        showWindow();
        rename(5, caption);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(panel()->text(), said);
        QCOMPARE(button(5)->text(), QStringLiteral("Alkış Gülme"));
        QCOMPARE(
            QDir(home->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList());
    }

    void backToKit()
    {
        showWindow();
        QVERIFY(QDir().mkpath(QFileInfo(ownSound(14)).path()));
        QVERIFY(put(home->filePath(QStringLiteral("own.wav")), wave(4800)));
        QCOMPARE(SoundImport::copy(home->filePath(QStringLiteral("own.wav")), ownSound(14)),
                 QString());
        rename(14, QStringLiteral("Kahkaha"));
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(button(14)->text(), QStringLiteral("Kahkaha"));
        openMenu(QStringLiteral("mouse"), 14);
        QVERIFY(menu);
        QVERIFY(menu->actions().value(2) && menu->actions().value(2)->isEnabled());
        x.tap(XK_k);
        QTRY_COMPARE(panel()->text(), QStringLiteral("       Ah Ha Ha !"));
        QCOMPARE(button(14)->text(), QStringLiteral("Ah Ha Ha"));
        QCOMPARE(button(14)->accessibleName(), QString());
        QCOMPARE(button(14)->toolTip(), QString());
        QVERIFY(!QFileInfo::exists(ownSound(14)));
        QCOMPARE(PadSettings::captions(configFile()), (QMap<int, QString>{}));
        x.click(centre(button(14)), 1);
        QTRY_COMPARE(player.requests.back(), kitSound(14).toStdString());
    }

    // Opening the menu and leaving it, or leaving the rename, writes nothing.
    void nothingChosenWritesNothing()
    {
        showWindow();
        openMenu(QStringLiteral("mouse"), 2);
        QVERIFY(menu);
        x.tap(XK_Escape);
        QTRY_VERIFY(!QApplication::activePopupWidget());
        openMenu(QStringLiteral("Shift+F10"), 2);
        QVERIFY(menu);
        bool asked = false;
        whenModal([&asked](QWidget *dialog) {
            asked = true;
            dialog->close();
        });
        x.tap(XK_a);
        QTRY_VERIFY(asked);
        QTRY_VERIFY(!QApplication::activeModalWidget());
        QCOMPARE(button(2)->text(), QStringLiteral("Siren"));
        QCOMPARE(
            QDir(home->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList());
    }

    // ---- the settings file ----

    void settingsReadSafely_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("faces"); // buttons 1 to 4
        const QStringList kit{QStringLiteral("Kısa Gülme"), QStringLiteral("Siren"),
                              QStringLiteral("Bekleme"), QStringLiteral("Kırılma")};
        QStringList mine = kit;
        mine[1] = QStringLiteral("Havlama");
        QTest::newRow("a caption") << QByteArray("[captions]\n2=Havlama\n") << mine;
        QTest::newRow("garbage around it")
            << QByteArray("\x01\xff\xfe[[[\n=\n[captions]\n\x80\x81=\x82\n2=Havlama\n") +
                   QByteArray(3, '\0') + QByteArray("junk")
            << mine;
        QTest::newRow("5000 characters")
            << QByteArray("[captions]\n2=") + QByteArray(5000, 'a') + QByteArray("\n") << kit;
        QTest::newRow("out of range")
            << QByteArray("[captions]\n0=Sıfır\n21=Fazla\n-2=Eksi\n99999999999999999999=Çok\n"
                          "x=Harf\n2.5=Kesir\n")
            << kit;
        QTest::newRow("control characters")
            << QByteArray("[captions]\n2=\"a\\tb\"\n4=\x07\n") << kit;
        QTest::newRow("a list") << QByteArray("[captions]\n2=bir, iki\n") << kit;
        QTest::newRow("only spaces") << QByteArray("[captions]\n2=\"   \"\n") << kit;
        QTest::newRow("another group") << QByteArray("[General]\n2=Havlama\n") << kit;
    }

    void settingsReadSafely()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, faces);
        QVERIFY(QDir().mkpath(QFileInfo(configFile()).path()));
        QVERIFY(put(configFile(), file));
        showWindow();
        QStringList shown;
        for (int n = 1; n <= 4; ++n)
            shown << button(n)->text();
        QCOMPARE(shown, faces);
        QCOMPARE(contents(configFile()), file); // read, never rewritten
    }

    // ---- copying into the user's folder ----

    void copyRefusesAndKeepsTheOldSound_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("said");
        QTest::newRow("a link to a sound") << "link"
                                           << "";
        QTest::newRow("missing") << "missing"
                                 << "Dosya bulunamadı !";
        QTest::newRow("a link to nothing") << "dangling"
                                           << "Dosya bulunamadı !";
        QTest::newRow("folder") << "folder"
                                << "Klasör ses değil !";
        QTest::newRow("text") << "text"
                              << "Ses dosyası değil !";
        QTest::newRow("a WAVE header only") << "header"
                                            << "Ses dosyası değil !";
        QTest::newRow("over 64 MB") << "huge"
                                    << "Dosya 64 MB'tan büyük !";
        QTest::newRow("disk full") << "full"
                                   << "Diskte yer yok !";
    }

    void copyRefusesAndKeepsTheOldSound()
    {
        QFETCH(QString, kind);
        QFETCH(QString, said);
        const QString folder = home->filePath(QStringLiteral("own"));
        const QString target = folder + QStringLiteral("/7.tzk");
        const QString sound = home->filePath(QStringLiteral("ses.wav"));
        const QString source = home->filePath(QStringLiteral("kaynak"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(put(target, "old sound"));
        QVERIFY(put(sound, wave(96000)));
        if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(sound, source));
        else if (kind == QLatin1String("dangling"))
            QVERIFY(QFile::link(home->filePath(QStringLiteral("gone")), source));
        else if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(source));
        else if (kind == QLatin1String("text"))
            QVERIFY(put(source, "RIFF but not really\n"));
        else if (kind == QLatin1String("header"))
            QVERIFY(put(source, wave(0)));
        else if (kind == QLatin1String("huge")) {
            // A real header before a (sparse) body the size of several sounds.
            QVERIFY(put(source, wave(1000)));
            QVERIFY(QFile::resize(source, SoundImport::MaxBytes + 1));
        }
        const QString copied = kind == QLatin1String("full") ? sound : source;
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        if (kind == QLatin1String("full")) {
            // Writes past 64 kB fail as on a full disk.
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit small = before;
            small.rlim_cur = 64 * 1024;
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        const QString result = SoundImport::copy(copied, target);
        ::setrlimit(RLIMIT_FSIZE, &before);
        QCOMPARE(result, said);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System),
                 QStringList{QStringLiteral("7.tzk")});
        QVERIFY(!QFileInfo(target).isSymLink());
        QCOMPARE(contents(target), said.isEmpty() ? contents(sound) : QByteArray("old sound"));
    }

    void killedDuringCopyLeavesTheOldSound()
    {
        const QString folder = home->filePath(QStringLiteral("own"));
        const QString target = folder + QStringLiteral("/7.tzk");
        const QString source = home->filePath(QStringLiteral("long.wav"));
        const QString settings = home->filePath(QStringLiteral("config/zembra.conf"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(put(target, "old sound"));
        QVERIFY(put(source, wave(1000)));
        QVERIFY(QFile::resize(source, 60 * 1024 * 1024));
        const int watch = ::inotify_init1(IN_CLOEXEC);
        QVERIFY(watch >= 0);
        QVERIFY(::inotify_add_watch(watch, QFile::encodeName(folder).constData(),
                                    IN_CREATE | IN_MODIFY) >= 0);
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--copy"), source, target, settings});
        QVERIFY(child.waitForStarted());
        // Killed as soon as its copy has begun to write.
        pollfd p{watch, POLLIN, 0};
        QVERIFY2(::poll(&p, 1, 30000) == 1, "the copy never began");
        ::kill(pid_t(child.processId()), SIGKILL);
        ::close(watch);
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QCOMPARE(contents(target), QByteArray("old sound"));
        QSettings read(settings, QSettings::IniFormat);
        QCOMPARE(read.status(), QSettings::NoError);
        QCOMPARE(PadSettings::captions(settings),
                 (QMap<int, QString>{{7, QStringLiteral("Eski ad")}}));
        // A copy started anew finishes.
        QCOMPARE(SoundImport::copy(source, target), QString());
        QCOMPARE(QFileInfo(target).size(), 60 * 1024 * 1024);
    }
};

int main(int argc, char *argv[])
{
    if (argc > 2 && qstrcmp(argv[1], "--drag-source") == 0)
        return runDragSource(argc, argv);
    if (argc > 4 && qstrcmp(argv[1], "--copy") == 0) {
        QCoreApplication app(argc, argv);
        return runCopy(argv);
    }
    QApplication app(argc, argv);
    TestPadCustom test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pad_custom.moc"
