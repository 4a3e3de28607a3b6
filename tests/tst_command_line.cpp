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

private slots:
    // No display, no session bus and no sound server; a sound device opened would
    // write out.raw. Exit 0: `text` on standard output; otherwise one line on
    // standard error containing it, and nothing on standard output.
    void answersWithoutADisplayNorSound_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("text");
        QTest::newRow("--version") << QStringList{"--version"} << 0 << "zembra 1.1\n";
        QTest::newRow("--help names --play and a shortcut")
            << QStringList{"--help"} << 0 << "-p, --play <N>";
        QTest::newRow("help among unknown arguments")
            << QStringList{"--bilinmeyen", "dosya.tzk", "--help"} << 0 << "Ses efekti paneli";
        QTest::newRow("--help over --play")
            << QStringList{"--play", "5", "--help"} << 0 << "--version";
        QTest::newRow("-v over --play=N") << QStringList{"--play=5", "-v"} << 0 << "zembra 1.1\n";
        QTest::newRow("no Zembra to press") << QStringList{"--play", "5"} << 1 << "Zembra yok";
        QTest::newRow("--play=N, no Zembra") << QStringList{"--play=5"} << 1 << "Zembra yok";
        QTest::newRow("no such button") << QStringList{"-p", "21"} << 2 << "1 ile 20 arasında";
    }

    void answersWithoutADisplayNorSound()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, text);
        QTemporaryDir dir;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("SDL_AUDIODRIVER", "disk");
        env.insert("SDL_DISKAUDIOFILE", dir.filePath("out.raw"));
        env.insert("PULSE_SERVER", "unix:/nonexistent/zembra");
        env.insert("PIPEWIRE_REMOTE", "/nonexistent/zembra");
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/zembra-bus");
        QProcess zembra;
        zembra.setProcessEnvironment(env);
        zembra.start(ZEMBRA_PROGRAM, arguments);
        QVERIFY(zembra.waitForFinished(10000));
        const QString out = QString::fromUtf8(zembra.readAllStandardOutput());
        const QString err = QString::fromUtf8(zembra.readAllStandardError());
        QCOMPARE(zembra.exitStatus(), QProcess::NormalExit);
        QVERIFY2(zembra.exitCode() == exitCode, qPrintable(err));
        if (exitCode == 0) {
            QVERIFY2(out.contains(text), qPrintable(out));
        } else {
            const QStringList lines = err.split('\n', Qt::SkipEmptyParts);
            QVERIFY2(lines.size() == 1 && lines[0].contains(text), qPrintable(err));
            QCOMPARE(out, QString());
        }
        QVERIFY(!QFile::exists(dir.filePath("out.raw")));
    }

    // Qt's own options are ignored like any other argument. Each row names an
    // option Qt would act on and a value it would mention on the terminal (or die
    // of); the environment's platform still counts.
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
        const QString played = dir.filePath("out.raw");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_DATA_HOME", "/nonexistent/zembra-tests");
        // The intro, written here, tells that the window is up.
        env.insert("SDL_AUDIODRIVER", "disk");
        env.insert("SDL_DISKAUDIOFILE", played);
        QProcess zembra;
        zembra.setProcessEnvironment(env);
        zembra.start(ZEMBRA_PROGRAM, arguments);
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo(played).size() > 0 || zembra.state() == QProcess::NotRunning, 20000);
        const bool running = zembra.state() == QProcess::Running;
        zembra.kill();
        zembra.waitForFinished(10000);
        const QString err = QString::fromLocal8Bit(zembra.readAllStandardError());
        QVERIFY2(running, qPrintable(err));
        QVERIFY2(!err.contains(value), qPrintable(err));
    }

    // Without /proc (a bare container or chroot) the program cannot see where it
    // lies: it must say so and end, not load the module lying in its working folder.
    // --version stands for --help, which takes the same way to the module.
    void withoutItsOwnPathNoModuleFromTheWorkingFolder()
    {
        QTemporaryDir cwd;
        QVERIFY(cwd.isValid());
        const QString module = QFileInfo(ZEMBRA_PROGRAM).dir().filePath("zembra_program.so");
        QVERIFY(QFile::copy(module, cwd.filePath("zembra_program.so")));
        QProcess zembra;
        zembra.setWorkingDirectory(cwd.path());
        // A mount namespace whose /proc is an empty folder; 97: none could be made.
        // Root needs no user namespace; only /proc is made private, as a chroot's
        // root, no mount point, cannot be.
        QStringList unshare{"--mount", "--propagation", "unchanged"};
        if (::geteuid() != 0)
            unshare << "--map-root-user";
        zembra.start("unshare",
                     unshare + QStringList{"--", "sh", "-c",
                                           "mount --make-private /proc && mount -t tmpfs "
                                           "zembra-test /proc && test ! -e /proc/self || "
                                           "exit 97; exec \"$@\"",
                                           "sh", ZEMBRA_PROGRAM, "--version"});
        QVERIFY(zembra.waitForFinished(10000));
        const QString err = QString::fromUtf8(zembra.readAllStandardError());
        QCOMPARE(zembra.exitStatus(), QProcess::NormalExit);
        QVERIFY2(zembra.exitCode() != 97, qPrintable(err));
        QCOMPARE(zembra.readAllStandardOutput(), QByteArray());
        QCOMPARE(zembra.exitCode(), 1);
        // A sanitizer's runtime, reading its options from /proc, says so on "==" lines.
        QStringList said = err.split('\n', Qt::SkipEmptyParts);
        said.removeIf([](const QString &line) { return line.startsWith("=="); });
        QVERIFY2(said.size() == 1 &&
                     said[0].startsWith("zembra: programın bulunduğu klasör bulunamadı"),
                 qPrintable(err));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_command_line.moc"
