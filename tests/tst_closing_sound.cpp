#include "audio/sound_engine.h"
#include "env_guard.h"
#include "graph_watch.h"
#include "sound_server.h"
#include "wav.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

#include <fstream>
#include <memory>

using namespace SoundServerTest;

// The program's ways out, run in a process of their own on a real sound server
// (ZEMBRA_TEST_SERVER: pulse or pipewire), heard on the server's null sink.
class TestClosingSound : public QObject {
    Q_OBJECT

    QString kind = qEnvironmentVariable("ZEMBRA_TEST_SERVER");
    QTemporaryDir data{QDir::tempPath() + QStringLiteral("/zembra-closing-XXXXXX")};
    std::unique_ptr<Server> server;
    std::unique_ptr<EnvGuard> env;
    int rate = 0;

    // Writes `goodbye` as the closing sound, ends the child the way `how` names
    // (sending `sig` once it has asked for the sound, if one is given) and tells
    // what the server played of it; a try in which the graph stalled is made again.
    void hear(const Samples &goodbye, const QString &how, int sig, std::vector<Heard> &heard)
    {
        std::ofstream out(data.filePath("zembra/01.tzk").toStdString(),
                          std::ios::binary | std::ios::trunc);
        const std::vector<std::uint8_t> bytes = Wav::build(goodbye, 1, rate);
        out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
        out.close();
        QProcessEnvironment childEnv = QProcessEnvironment::systemEnvironment();
        // The user's own sounds folder: the closing sound and no intro.
        childEnv.insert("XDG_DATA_HOME", data.path());
        for (StallTries tries(kind == "pipewire", rate);;) {
            Recorder recorder(rate);
            QVERIFY(recorder.started());
            QVERIFY2(tries.begin(), "the watch of the graph saw it run no cycle");
            QProcess child;
            child.setProcessEnvironment(childEnv);
            child.start(EXIT_CHILD, {how, "sound"});
            QVERIFY(child.waitForStarted());
            if (sig) {
                QByteArray said;
                while (!said.contains("01.tzk") && child.waitForReadyRead(30000))
                    said += child.readAllStandardOutput();
                QVERIFY2(said.contains("01.tzk"), said.constData());
                ::kill(int(child.processId()), sig);
            }
            QVERIFY(child.waitForFinished(30000));
            if (sig) {
                QCOMPARE(child.exitStatus(), QProcess::CrashExit);
            } else {
                QCOMPARE(child.exitStatus(), QProcess::NormalExit);
                QCOMPARE(child.exitCode(), 0);
            }
            std::this_thread::sleep_for(200ms);
            const auto recording = tries.recorded(recorder.stop());
            if (tries.madeAgain())
                continue;
            QVERIFY2(recording, Recorder::Unheard);
            heard = heardSounds(*recording, {&goodbye});
            return;
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(kind == "pulse" || kind == "pipewire",
                 "ZEMBRA_TEST_SERVER must name the server to test: pulse or pipewire");
        QVERIFY(data.isValid() && QDir(data.path()).mkpath("zembra"));
        env = clientEnvironment();
        // Recordings compared sample for sample: a period the machine holds.
        server = std::make_unique<Server>(kind, 1024);
        QVERIFY2(server->ready(), "the sound server did not start");
        server->use();
        SoundEngine probe;
        probe.play(data.filePath("none.tzk").toStdString());
        probe.waitUntilHandled();
        rate = probe.outputRate();
        QCOMPARE(QString::fromStdString(probe.outputName()), kind);
    }

    void cleanupTestCase()
    {
        server.reset();
        env.reset();
    }

    // The windows go at once, the closing sound is heard, and the process ends
    // as it always did.
    void closingSoundIsHeard_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("menu Çık") << "menu";
        QTest::newRow("Ctrl+C") << "ctrl-c";
        QTest::newRow("Yes to the exit question") << "yes";
    }

    void closingSoundIsHeard()
    {
        QFETCH(QString, how);
        const Samples goodbye = Wav::ramp(std::size_t(rate) * 6 / 10, 1, 59);
        std::vector<Heard> heard;
        hear(goodbye, how, 0, heard);
        if (QTest::currentTestFailed())
            return;
        // To its last sample: the process waits until the server has played it.
        const std::vector<Heard> whole{{0, goodbye.size(), {}}};
        QVERIFY2(heard == whole, qPrintable(describe(heard)));
    }

    // A long closing sound is heard for 3 s at most, and a signal meanwhile ends
    // the process at once. Measured in the recording's samples.
    void longGoodbyeIsBounded_data()
    {
        QTest::addColumn<int>("sig");
        QTest::newRow("played out to the bound") << 0;
        QTest::newRow("SIGTERM ends it at once") << int(SIGTERM);
        QTest::newRow("SIGINT ends it at once") << int(SIGINT);
    }

    void longGoodbyeIsBounded()
    {
        QFETCH(int, sig);
        const Samples goodbye = Wav::ramp(std::size_t(rate) * 10, 1, 61);
        std::vector<Heard> heard;
        hear(goodbye, "menu", sig, heard);
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(heard.size() <= 1, qPrintable(describe(heard)));
        const std::size_t reached = heard.empty() ? 0 : heard[0].reached;
        const std::size_t bound = std::size_t(rate) * 3;
        // The bound and what the server still held; with a signal, far less.
        QVERIFY2(reached <= (sig ? bound / 2 : bound + std::size_t(rate) / 5),
                 qPrintable(describe(heard)));
        // Less only by the sound's start, a few milliseconds on an idle machine.
        if (!sig)
            QVERIFY2(reached >= bound - std::size_t(rate) / 4, qPrintable(describe(heard)));
    }
};

QTEST_GUILESS_MAIN(TestClosingSound)
#include "tst_closing_sound.moc"
