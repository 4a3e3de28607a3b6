// zembra --help and --version answer on the terminal and end, with no display
// and without touching a sound device.
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void answersWithoutADisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("printed");
        QTest::newRow("--version") << QStringList{"--version"} << "zembra 1.1\n";
        QTest::newRow("-v") << QStringList{"-v"} << "zembra 1.1\n";
        QTest::newRow("--help") << QStringList{"--help"} << "--version";
        QTest::newRow("help among unknown arguments")
            << QStringList{"--bilinmeyen", "dosya.tzk", "--help"} << "Ses efekti paneli";
    }

    void answersWithoutADisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, printed);
        QTemporaryDir dir;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // A window would need this display, which does not exist.
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        // A sound device opened would write this file.
        env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("disk"));
        env.insert(QStringLiteral("SDL_DISKAUDIOFILE"), dir.filePath(QStringLiteral("out.raw")));
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
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_command_line.moc"
