// Which file a request plays: the user's own where there is one, otherwise the
// one beside the program, decided again at every request.
#include "audio/log.h"
#include "effects/sound_log.h"
#include "effects/sounds.h"
#include "recording_player.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestSounds : public QObject {
    Q_OBJECT

    QTemporaryDir program, user;

    static void put(const QString &path)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("RIFF");
    }
    QString beside(const char *name) const { return program.filePath(QLatin1String(name)); }
    QString own(const char *name) const { return user.filePath(QLatin1String(name)); }

private slots:
    void init()
    {
        QDir(user.path()).removeRecursively();
        QDir().mkpath(user.path());
    }

    void choosesTheFile_data()
    {
        // A plain file of the user's or none: userFilesAddedAndRemovedCountAtTheNextPress.
        QTest::addColumn<QString>("userHas"); // "folder", "link to ..."
        QTest::addColumn<bool>("playsOwn");
        QTest::newRow("a folder of that name") << "folder" << false;
        QTest::newRow("a link to the user's file") << "link to file" << true;
        QTest::newRow("a link to a folder") << "link to folder" << false;
        QTest::newRow("a link to nothing") << "link to nothing" << false;
    }

    void choosesTheFile()
    {
        QFETCH(QString, userHas);
        QFETCH(bool, playsOwn);
        put(beside("7.tzk"));
        // A link points at the real thing kept elsewhere in the user's folder.
        const bool link = userHas.startsWith("link to ");
        const QString real = link ? own("elsewhere") : own("7.tzk");
        if (userHas.endsWith("file"))
            put(real);
        else if (userHas.endsWith("folder"))
            QVERIFY(QDir().mkpath(real));
        if (link)
            QVERIFY(QFile::link(real, own("7.tzk")));
        RecordingPlayer player;
        Sounds(player, program.path(), user.path()).PlayEffect("7.tzk");
        const QString expected = playsOwn ? own("7.tzk") : beside("7.tzk");
        QCOMPARE(player.requests, std::vector<std::string>{expected.toStdString()});
    }

    void userFilesAddedAndRemovedCountAtTheNextPress()
    {
        RecordingPlayer player;
        const Sounds sounds(player, program.path(), user.path());
        sounds.PlayEffect("3.tzk");
        put(own("3.tzk"));
        sounds.PlayEffect("3.tzk");
        QVERIFY(QFile::remove(own("3.tzk")));
        sounds.PlayEffect("3.tzk");
        const std::string mine = own("3.tzk").toStdString(), theirs = beside("3.tzk").toStdString();
        QCOMPARE(player.requests, (std::vector<std::string>{theirs, mine, theirs}));
    }

    // What the engine chose is said only when asked for, as any Qt category.
    void engineReportsOnlyWhenAskedFor_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<bool>("said");
        QTest::newRow("by default") << "" << false;
        QTest::newRow("info asked for") << "zembra.sound.info=true" << true;
        QTest::newRow("the whole category") << "zembra.sound=true" << true;
        QTest::newRow("another category") << "qt.*=true" << false;
    }

    void engineReportsOnlyWhenAskedFor()
    {
        QFETCH(QString, rules);
        QFETCH(bool, said);
        static QStringList heard;
        heard.clear();
        QLoggingCategory::setFilterRules(rules);
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &context, const QString &message) {
                if (QLatin1String(context.category) == QLatin1String("zembra.sound"))
                    heard << message;
            });
        SoundLog::install();
        AudioLog::write("output: %s at %d Hz", "pipewire", 48000);
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());
        SoundLog::install();
        QCOMPARE(AudioLog::enabled(), false);
        QCOMPARE(heard, said ? QStringList{"output: pipewire at 48000 Hz"} : QStringList{});
    }

    // A worker still writing as the process ends (left behind by a hung sound
    // server) must not write into the category once the statics are gone. A
    // race, so run many times; under the address sanitizer it is a report or crash.
    void reportsAsTheProcessEndsDoNotOutliveTheCategory_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::newRow("info asked for") << "zembra.sound.info=true";
        QTest::newRow("the whole category") << "zembra.sound=true";
    }

    void reportsAsTheProcessEndsDoNotOutliveTheCategory()
    {
        QFETCH(QString, rules);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_LOGGING_RULES", rules);
        for (int run = 0; run < 15; ++run) {
            QProcess child;
            child.setProcessEnvironment(env);
            child.start(LOG_EXIT_CHILD, {});
            QVERIFY(child.waitForFinished(30000));
            const QString err = QString::fromLocal8Bit(child.readAllStandardError());
            const QString end = err.right(2000);
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                     qPrintable(end));
            QVERIFY2(!err.contains("Sanitizer") && !err.contains("runtime error"),
                     qPrintable(QString("run %1: %2").arg(run).arg(end)));
            QVERIFY2(err.contains("zembra.sound: worker 3: first line"), qPrintable(end));
        }
    }
};

QTEST_GUILESS_MAIN(TestSounds)
#include "tst_sounds.moc"
