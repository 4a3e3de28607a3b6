// The user's own pad through the X server: drag and drop, context menu, captions, the files.
// The same binary is the drag's source (--drag-source FILE) and a copy to be killed
// (--copy SOURCE TARGET SETTINGS) when started so.
#include "audio/sound_decoder.h"
#include "audio/virtual_microphone.h"
#include "effects/pad_settings.h"
#include "effects/sound_import.h"
#include "effects/sounds.h"
#include "main_window/frm_ana.h"
#include "main_window/microphone_setting.h"
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
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <sndfile.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Mouse and keyboard through the X server, as the user's own would be.
class XInput {
public:
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
    Display *dpy_ = XOpenDisplay(nullptr);
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
    SF_INFO info{0, 48000, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    const bool done = file && sf_writef_short(file, samples.data(), sf_count_t(samples.size())) ==
                                  sf_count_t(samples.size());
    sf_close(file);
    return done;
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

// One line to the test that started this process.
void say(const QByteArray &line)
{
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
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
        say("dragging");
        auto *mime = new QMimeData;
        mime->setUrls({QUrl::fromLocalFile(file_)});
        auto *drag = new QDrag(this);
        drag->setMimeData(mime);
        // The target's answer: only then does a release drop the file.
        QObject::connect(drag, &QDrag::actionChanged, [](Qt::DropAction action) {
            say("action " + QByteArray::number(action));
        });
        say("dropped " + QByteArray::number(drag->exec(Qt::CopyAction)));
        // Stays to hand out the file's name to the target, until ended.
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
    say("shown " + QByteArray::number(at.x()) + ' ' + QByteArray::number(at.y()));
    return app.exec();
}

// A caption saved, then a sound copied: the parent kills it during the copy.
int runCopy(char *argv[])
{
    if (!PadSettings::setCaption(7, "Eski ad", QString::fromLocal8Bit(argv[4])))
        return 2;
    const QString said =
        SoundImport::copy(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    return said.isEmpty() ? 0 : 3;
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

    QString at(const char *relative) const { return home->filePath(QLatin1String(relative)); }
    QString ownSound(int n) const { return at("data/zembra/") + QString("%1.tzk").arg(n); }
    QString kitSound(int n) const
    {
        return Sounds::effectPath(QCoreApplication::applicationDirPath(), QString("%1.tzk").arg(n));
    }
    QPushButton *button(int n) const
    {
        return window->findChild<QPushButton *>(QString("Command%1").arg(n));
    }
    StatusPanel *panel() const { return window->findChild<StatusPanel *>("PicStatus"); }

    void showWindow()
    {
        window = std::make_unique<frmAna>(player);
        window->move(0, 0);
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }

    // Opens button n's context menu by the mouse, the Menu key or Shift+F10;
    // "mouse off the buttons" right-clicks the status panel instead.
    void openMenu(const QString &way, int n)
    {
        menu = nullptr;
        if (way.startsWith("mouse")) {
            // Never where the last click was, which would make it a double click.
            clicks = (clicks + 1) % 3;
            const QWidget *on = way == "mouse" ? static_cast<QWidget *>(button(n)) : panel();
            x.click(centre(on) + QPoint(10 * (clicks - 1), 0), 3);
        } else {
            button(n)->setFocus();
            QTRY_VERIFY(button(n)->hasFocus());
            const bool menuKey = way == "Menu key";
            x.tap(menuKey ? XK_Menu : XK_F10, menuKey ? NoSymbol : XK_Shift_L);
        }
        QTRY_VERIFY((menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())));
    }

    // Chooses "Adını değiştir…" by its letter and answers its dialog with `caption`.
    void rename(const QString &caption)
    {
        auto *timer = new QTimer(window.get());
        connect(timer, &QTimer::timeout, timer, [timer, caption] {
            if (auto *input = qobject_cast<QInputDialog *>(QApplication::activeModalWidget())) {
                timer->deleteLater();
                input->setTextValue(caption);
                input->accept();
            }
        });
        timer->start(10);
        QSignalSpy shown(panel(), &StatusPanel::shown);
        x.tap(XK_a);
        QVERIFY(shown.wait(10000));
    }

    // Drags `file` from a program of its own onto button n through the X
    // server, until the button has said what it made of it.
    void dragOnto(const QString &file, int n)
    {
        QProcess source;
        source.start(QCoreApplication::applicationFilePath(), {"--drag-source", file});
        // The source's next line, past what it hears of the targets it passes up to `until`.
        const auto line = [&source](const QByteArray &until = {}) {
            QByteArray said = "action";
            while (said.startsWith("action") && said != until) {
                while (!source.canReadLine())
                    if (!source.waitForReadyRead(20000))
                        return QByteArray();
                said = source.readLine().trimmed();
            }
            return said;
        };
        const QList<QByteArray> shown = line().split(' ');
        QCOMPARE(shown.value(0), QByteArray("shown"));
        const QPoint from(shown.value(1).toInt(), shown.value(2).toInt()), to = centre(button(n));
        x.move(from);
        x.button(1, true);
        QCOMPARE(line(), QByteArray("dragging"));
        // Step by step onto the button, until it shows that it will take the file.
        int step = 0;
        const auto over = [&] {
            step = std::min(step + 1, 20);
            x.move(from + (to - from) * step / 20 + QPoint(step % 2, 0));
            return button(n)->isDown();
        };
        QVERIFY2(QTest::qWaitFor(over, 20000), "the button never showed it would take the file");
        QCOMPARE(line("action 1"), QByteArray("action 1"));
        QSignalSpy said(panel(), &StatusPanel::shown);
        x.button(1, false);
        QVERIFY(said.wait(20000));
        QCOMPARE(line(), QByteArray("dropped 1")); // a copy
        source.terminate();
        QVERIFY(source.waitForFinished(20000));
        QVERIFY(!button(n)->isDown());
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), "xcb");
        QVERIFY2(x.usable(), "needs XTest on the X server");
        Fonts::install();
    }

    void init()
    {
        home = std::make_unique<QTemporaryDir>();
        QVERIFY(home->isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(at("config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(at("data")));
        player.requests.clear();
    }

    void cleanup()
    {
        x.button(1, false); // should a drag have failed half way
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void dropOnAButton_data()
    {
        QTest::addColumn<QString>("said");
        QTest::newRow("FLAC") << "Yeni ses hazır !";
        // One refusal is enough here: which files are refused is copyKeepsTheOldSoundWhenRefused's.
        QTest::newRow("folder") << "Klasör ses değil !";
    }

    void dropOnAButton()
    {
        const QByteArray kind = QTest::currentDataTag();
        QFETCH(QString, said);
        const std::vector<std::int16_t> samples = Wav::ramp(24000);
        const QString file = at("köpek havlaması");
        if (kind == "FLAC")
            QVERIFY(writeFlac(file, samples));
        else
            QVERIFY(QDir().mkpath(file));
        showWindow();
        dragOnto(file, 10);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(panel()->text(), said);
        // The next press plays what was dropped, sample for sample, or the kit's.
        x.click(centre(button(10)), 1);
        QTRY_COMPARE(panel()->text(), "          Deli !");
        const bool taken = kind == "FLAC";
        QCOMPARE(QString::fromStdString(player.requests.back()),
                 taken ? ownSound(10) : kitSound(10));
        QCOMPARE(QFileInfo::exists(ownSound(10)), taken);
        if (taken) {
            QVERIFY(QFile::remove(file)); // the button no longer needs the original
            QCOMPARE(decoded(ownSound(10)), samples);
        }
        QCOMPARE(button(10)->text(), "Deli");
    }

    void renameFromTheMenu_data()
    {
        QTest::addColumn<QString>("way");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("face"); // "…" for any cut short to fit
        QTest::addColumn<QString>("said"); // only for a refused caption
        const auto row = [](const char *name, const char *way, int n, const char *caption,
                            const char *face, const char *said) {
            QTest::newRow(name) << way << n << caption << face << said;
        };
        row("right click", "mouse", 7, "Gül & Su", "Gül && Su", "");
        row("Menu key", "Menu key", 12, "Gül & Su", "Gül && Su", "");
        row("Shift+F10", "Shift+F10", 20, "Gül & Su", "Gül && Su", "");
        row("too wide", "mouse", 3, "WWWWWWWWWWWWWWWWWWWW", "…", "");
        row("empty", "mouse", 5, "", "", "Ad boş olamaz !");
        row("only spaces", "Menu key", 5, "    ", "", "Ad boş olamaz !");
        row("tab", "Shift+F10", 5, "Ay\tSu", "", "Adda geçersiz harf !");
        row("escape", "mouse", 5, "Ay\x1b[31m", "", "Adda geçersiz harf !");
    }

    void renameFromTheMenu()
    {
        QFETCH(QString, way);
        QFETCH(int, number);
        QFETCH(QString, caption);
        QFETCH(QString, face);
        QFETCH(QString, said);
        showWindow();
        const QString kit = button(number)->text();
        openMenu(way, number);
        QVERIFY(menu); // its entries are microphoneFromTheMenu's
        rename(caption);
        if (!said.isEmpty()) {
            QCOMPARE(panel()->text(), said);
            QCOMPARE(button(number)->text(), kit);
            // Nothing customised, nothing written.
            QCOMPARE(QDir(home->path())
                         .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                     QStringList());
            return;
        }
        QCOMPARE(panel()->text(), caption + " !");
        const QString shown = button(number)->text();
        if (face == "…") {
            QVERIFY2(shown.endsWith(face) && shown.size() < caption.size(), qPrintable(shown));
            QVERIFY(button(number)->fontMetrics().horizontalAdvance(shown) <
                    button(number)->width());
        } else {
            QCOMPARE(shown, face);
        }
        QCOMPARE(button(number)->accessibleName(), caption);
        QCOMPARE(button(number)->toolTip(), caption);
        // Pressed, it names itself so; and the next start shows it again.
        x.click(centre(button(number)), 1);
        QTRY_COMPARE(player.requests.back(), kitSound(number).toStdString());
        QCOMPARE(panel()->text(), caption + " !");
        showWindow();
        QCOMPARE(button(number)->accessibleName(), caption);
    }

    void backToKit()
    {
        showWindow();
        QVERIFY(put(at("own.wav"), wave(4800)));
        QCOMPARE(SoundImport::copy(at("own.wav"), ownSound(14)), QString());
        openMenu("mouse", 14);
        rename("Kahkaha");
        QCOMPARE(button(14)->text(), "Kahkaha");
        openMenu("mouse", 14);
        QVERIFY(menu && menu->actions().value(2) && menu->actions().value(2)->isEnabled());
        x.tap(XK_k);
        QTRY_COMPARE(panel()->text(), "       Ah Ha Ha !");
        QCOMPARE(button(14)->text(), "Ah Ha Ha");
        QCOMPARE(button(14)->accessibleName() + button(14)->toolTip(), QString());
        QVERIFY(!QFileInfo::exists(ownSound(14)));
        QCOMPARE(PadSettings::captions(), (QMap<int, QString>{}));
        x.click(centre(button(14)), 1);
        QTRY_COMPARE(player.requests.back(), kitSound(14).toStdString());
    }

    // "Mikrofona da çal" wherever the menu opens: chosen by its letter, kept for the next start,
    // and nothing written before the user changes it.
    void microphoneFromTheMenu_data()
    {
        QTest::addColumn<QString>("way");
        QTest::addColumn<QStringList>("entries");
        const QString mic = "&Mikrofona da çal";
        // " (-)": disabled, since button 3 has nothing of the user's to go back from.
        const QStringList onButton{"Ses &dosyası seç…", "&Adını değiştir…", "&Kitin sesine dön (-)",
                                   QString(), mic};
        QTest::newRow("right click off the buttons") << "mouse off the buttons" << QStringList{mic};
        QTest::newRow("right click on a button") << "mouse" << onButton;
        QTest::newRow("Menu key") << "Menu key" << onButton;
        QTest::newRow("Shift+F10") << "Shift+F10" << onButton;
    }

    void microphoneFromTheMenu()
    {
        QFETCH(QString, way);
        QFETCH(QStringList, entries);
        // No sound server here: the choice is what is looked at.
        VirtualMicrophone microphone;
        for (const bool wasOn : {false, true}) {
            MicrophoneSetting setting(microphone);
            QCOMPARE(setting.isOn(), wasOn);
            showWindow();
            window->setMicrophone(setting);
            openMenu(way, 3);
            QVERIFY(menu);
            QCOMPARE(menu->objectName(), "contextMenu");
            QCOMPARE(menu->accessibleName(), "Zembra menüsü");
            QStringList texts;
            for (const QAction *action : menu->actions())
                texts << action->text() + (action->isEnabled() ? "" : " (-)");
            QCOMPARE(texts, entries);
            const QAction *entry = menu->actions().constLast();
            QVERIFY(entry->isCheckable());
            QCOMPARE(entry->isChecked(), wasOn);
            // The sound server's library may keep its cookie there; ours is not written.
            QCOMPARE(QFileInfo::exists(at("config/zembra")), wasOn);
            x.tap(XK_m);
            QTRY_COMPARE(setting.isOn(), !wasOn);
            QVERIFY(!menu->isVisible());
            QCOMPARE(PadSettings::microphoneOn(), !wasOn);
            window.reset();
        }
        QCOMPARE(MicrophoneSetting(microphone).isOn(), false);
    }

    void settingsReadSafely_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("face"); // of button 2
        QTest::newRow("garbage around it")
            << QByteArray("\x01\xff[[\n=\n[captions]\n\x80=\x82\n2=Havlama\n") + QByteArray(3, '\0')
            << "Havlama";
        QTest::newRow("5000 characters") << "[captions]\n2=" + QByteArray(5000, 'a') << "Siren";
        QTest::newRow("out of range")
            << QByteArray("[captions]\n0=Sıfır\n21=Fazla\n-2=Eksi\n99999999999999999999=Çok\n"
                          "x=Harf\n2.5=Kesir\n")
            << "Siren";
        QTest::newRow("control characters") << QByteArray("[captions]\n2=\"a\\tb\"\n") << "Siren";
    }

    void settingsReadSafely()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, face);
        QVERIFY(QDir().mkpath(at("config/zembra")));
        QVERIFY(put(PadSettings::path(), file));
        showWindow();
        QStringList faces;
        for (int n = 1; n <= 20; ++n)
            faces << button(n)->text();
        QCOMPARE(faces.at(1), face);
        faces.removeAt(1);
        QCOMPARE(faces.join(u'|'),
                 QStringLiteral("Kısa Gülme|Bekleme|Kırılma|Alkış Gülme|Kaza Anı|Buuu|Öksürük|"
                                "Alkış|Deli|Polis Düdüğü|Japon İşi|Wooow|Ah Ha Ha|Patlama|"
                                "Araba Geçiş|Aaaa|Gülme|Öpücük|Remixed by"));
        QCOMPARE(contents(PadSettings::path()), file); // read, never rewritten
    }

    void copyKeepsTheOldSoundWhenRefused_data()
    {
        QTest::addColumn<QString>("said");
        QTest::newRow("link to a sound") << "";
        QTest::newRow("vanished") << "Dosya bulunamadı !";
        QTest::newRow("folder") << "Klasör ses değil !";
        QTest::newRow("text") << "Ses dosyası değil !";
        QTest::newRow("over 64 MB") << "Dosya 64 MB'tan büyük !";
        QTest::newRow("disk full") << "Diskte yer yok !";
    }

    void copyKeepsTheOldSoundWhenRefused()
    {
        const QByteArray kind = QTest::currentDataTag();
        QFETCH(QString, said);
        const QString target = at("own/7.tzk"), sound = at("ses.wav"), source = at("kaynak");
        QVERIFY(QDir().mkpath(at("own")));
        QVERIFY(put(target, "old sound"));
        QVERIFY(put(sound, wave(96000)));
        if (kind == "link to a sound")
            QVERIFY(QFile::link(sound, source));
        else if (kind == "folder")
            QVERIFY(QDir().mkpath(source));
        else if (kind == "text")
            QVERIFY(put(source, "RIFF but not really\n"));
        else if (kind == "over 64 MB") // a real header, a sparse body
            QVERIFY(put(source, wave(1000)) && QFile::resize(source, SoundImport::MaxBytes + 1));
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        if (kind == "disk full") { // writes past 64 kB fail
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit small{64 * 1024, before.rlim_max};
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        const QString result = SoundImport::copy(kind == "disk full" ? sound : source, target);
        ::setrlimit(RLIMIT_FSIZE, &before);
        QCOMPARE(result, said);
        QCOMPARE(QDir(at("own")).entryList(QDir::Files | QDir::Hidden), QStringList{"7.tzk"});
        QVERIFY(!QFileInfo(target).isSymLink());
        QCOMPARE(contents(target), said.isEmpty() ? contents(sound) : QByteArray("old sound"));
    }

    void killedDuringCopyLeavesTheOldSound()
    {
        const QString target = at("own/7.tzk"), source = at("long.wav"),
                      settings = at("zembra.conf");
        QVERIFY(QDir().mkpath(at("own")));
        QVERIFY(put(target, "old sound"));
        QVERIFY(put(source, wave(1000)) && QFile::resize(source, 60 * 1024 * 1024));
        const int watch = ::inotify_init1(IN_CLOEXEC);
        QVERIFY(::inotify_add_watch(watch, QFile::encodeName(at("own")).constData(),
                                    IN_CREATE | IN_MODIFY) >= 0);
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--copy", source, target, settings});
        // Killed as soon as its copy has begun to write.
        pollfd p{watch, POLLIN, 0};
        QVERIFY2(::poll(&p, 1, 30000) == 1, "the copy never began");
        ::kill(pid_t(child.processId()), SIGKILL);
        ::close(watch);
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QCOMPARE(contents(target), QByteArray("old sound"));
        QCOMPARE(QSettings(settings, QSettings::IniFormat).status(), QSettings::NoError);
        QCOMPARE(PadSettings::captions(settings), (QMap<int, QString>{{7, "Eski ad"}}));
        // Copied anew it finishes; what the crash left goes once it is old
        // enough not to be another Zembra's copy under way.
        const auto left = [this] {
            return QDir(at("own")).entryList(QDir::Files | QDir::Hidden).filter("7.tzk.");
        };
        QCOMPARE(left().size(), 1);
        QCOMPARE(SoundImport::copy(source, target), QString());
        QCOMPARE(QFileInfo(target).size(), 60 * 1024 * 1024);
        QCOMPARE(left().size(), 1);
        const timespec past[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 120, 0}};
        const QByteArray leftover = QFile::encodeName(at("own/") + left().value(0));
        QCOMPARE(::utimensat(AT_FDCWD, leftover.constData(), past, 0), 0);
        QCOMPARE(SoundImport::copy(source, target), QString());
        QCOMPARE(left(), QStringList());
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
