// zembra --help and --version answer on the terminal and end, with no display
// and without touching a sound device.
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

class TestCommandLine : public QObject {
    Q_OBJECT

    // No display for a window, and a sound device opened would write `played`.
    static QProcessEnvironment headless(const QString &played)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("disk"));
        env.insert(QStringLiteral("SDL_DISKAUDIOFILE"), played);
        return env;
    }

private slots:
    void answersWithoutADisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("printed");
        QTest::newRow("--version") << QStringList{"--version"} << "zembra 1.1\n";
        QTest::newRow("-v") << QStringList{"-v"} << "zembra 1.1\n";
        QTest::newRow("--help") << QStringList{"--help"} << "--version";
        QTest::newRow("--help names --play and a shortcut")
            << QStringList{"--help"} << "-p, --play <N>";
        QTest::newRow("help among unknown arguments")
            << QStringList{"--bilinmeyen", "dosya.tzk", "--help"} << "Ses efekti paneli";
        QTest::newRow("--help over --play") << QStringList{"--play", "5", "--help"} << "--version";
        QTest::newRow("-v over --play=N") << QStringList{"--play=5", "-v"} << "zembra 1.1\n";
    }

    void answersWithoutADisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, printed);
        QTemporaryDir dir;
        QProcessEnvironment env = headless(dir.filePath(QStringLiteral("out.raw")));
        env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:/nonexistent/zembra"));
        env.insert(QStringLiteral("PIPEWIRE_REMOTE"), QStringLiteral("/nonexistent/zembra"));
        QProcess zembra;
        zembra.setProcessEnvironment(env);
        zembra.start(QStringLiteral(ZEMBRA_PROGRAM), arguments);
        QVERIFY(zembra.waitForFinished(10000));
        const QString out = QString::fromUtf8(zembra.readAllStandardOutput());
        QCOMPARE(zembra.exitStatus(), QProcess::NormalExit);
        QVERIFY2(zembra.exitCode() == 0, zembra.readAllStandardError().constData());
        QVERIFY2(out.contains(printed), qPrintable(out));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("out.raw"))));
    }

    // Qt's own options are the program's arguments like any other: ignored. Each row
    // names an option that Qt would act on, and a value that it would mention on the
    // terminal (or die of); the environment's platform still counts.
    void qtOptionsAreIgnored_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("value");
        QTest::newRow("-platform") << QStringList{"-platform", "zembra-yok"} << "zembra-yok";
        QTest::newRow("-style") << QStringList{"-style", "zembra-yok"} << "zembra-yok";
        QTest::newRow("-stylesheet")
            << QStringList{"-stylesheet", "/nonexistent/zembra.qss"} << "zembra.qss";
    }

    void qtOptionsAreIgnored()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, value);
        QTemporaryDir dir;
        const QString played = dir.filePath(QStringLiteral("out.raw"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), QStringLiteral("/nonexistent/zembra-tests"));
        // The intro, written here, tells that the window is up.
        env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("disk"));
        env.insert(QStringLiteral("SDL_DISKAUDIOFILE"), played);
        QProcess zembra;
        zembra.setProcessEnvironment(env);
        zembra.start(QStringLiteral(ZEMBRA_PROGRAM), arguments);
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo(played).size() > 0 || zembra.state() == QProcess::NotRunning, 20000);
        const bool running = zembra.state() == QProcess::Running;
        zembra.kill();
        zembra.waitForFinished(10000);
        const QString err = QString::fromLocal8Bit(zembra.readAllStandardError());
        QVERIFY2(running, qPrintable(err));
        QVERIFY2(!err.contains(value), qPrintable(err));
    }

    // Where the program cannot see where it lies (no /proc, as in a bare container or
    // chroot), it must not load a module from wherever it was started: it says so
    // and ends. The folder it starts in holds a module that would run.
    void withoutItsOwnPathNoModuleFromTheWorkingFolder_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("--version") << QStringList{"--version"};
        QTest::newRow("--help") << QStringList{"--help"};
    }

    void withoutItsOwnPathNoModuleFromTheWorkingFolder()
    {
        QFETCH(QStringList, arguments);
        QTemporaryDir cwd;
        QVERIFY(cwd.isValid());
        const QString module =
            QFileInfo(QStringLiteral(ZEMBRA_PROGRAM)).dir().filePath("zembra_program.so");
        QVERIFY(QFile::copy(module, cwd.filePath(QStringLiteral("zembra_program.so"))));
        QProcess zembra;
        zembra.setWorkingDirectory(cwd.path());
        // A mount namespace of its own whose /proc is an empty folder; 97: no such
        // namespace could be made here. Root needs no user namespace, which a
        // chroot would refuse; nor can a chroot's root, no mount point, be made
        // private, so only /proc is, before anything is mounted on it.
        QStringList unshare{QStringLiteral("--mount"), QStringLiteral("--propagation"),
                            QStringLiteral("unchanged")};
        if (::geteuid() != 0)
            unshare << QStringLiteral("--map-root-user");
        zembra.start(QStringLiteral("unshare"),
                     unshare +
                         QStringList{"--", "sh", "-c",
                                     "mount --make-private /proc && mount -t tmpfs zembra-test "
                                     "/proc && test ! -e /proc/self || exit 97; exec \"$@\"",
                                     "sh", QStringLiteral(ZEMBRA_PROGRAM)} +
                         arguments);
        QVERIFY(zembra.waitForFinished(10000));
        const QString err = QString::fromUtf8(zembra.readAllStandardError());
        QCOMPARE(zembra.exitStatus(), QProcess::NormalExit);
        QVERIFY2(zembra.exitCode() != 97, qPrintable(err));
        QCOMPARE(zembra.readAllStandardOutput(), QByteArray());
        QCOMPARE(zembra.exitCode(), 1);
        // A sanitizer build's runtime, which reads its options from /proc, has its
        // say too, on lines of its own.
        QStringList said = err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        said.removeIf([](const QString &line) { return line.startsWith(QLatin1String("==")); });
        QVERIFY2(said.size() == 1 && said[0].startsWith(QStringLiteral(
                                         "zembra: programın bulunduğu klasör bulunamadı")),
                 qPrintable(err));
    }

    // --play with no display and no session bus: one Turkish line and its exit
    // status, no window and no sound device.
    void playNeedsNoDisplayNorSound_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        QTest::newRow("no Zembra to press") << QStringList{"--play", "5"} << 1 << "Zembra yok";
        QTest::newRow("--play=N, no Zembra") << QStringList{"--play=5"} << 1 << "Zembra yok";
        QTest::newRow("no such button") << QStringList{"-p", "21"} << 2 << "1 ile 20 arasında";
    }

    void playNeedsNoDisplayNorSound()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        QTemporaryDir dir;
        QProcessEnvironment env = headless(dir.filePath(QStringLiteral("out.raw")));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=/nonexistent/zembra-bus"));
        QProcess zembra;
        zembra.setProcessEnvironment(env);
        zembra.start(QStringLiteral(ZEMBRA_PROGRAM), arguments);
        QVERIFY(zembra.waitForFinished(10000));
        const QStringList lines = QString::fromUtf8(zembra.readAllStandardError())
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(zembra.exitCode(), exitCode);
        QVERIFY2(lines.size() == 1 && lines[0].contains(said), qPrintable(lines.join('|')));
        QCOMPARE(zembra.readAllStandardOutput(), QByteArray());
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("out.raw"))));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_command_line.moc"
