#include "audio/period_policy.h"

#include <QTest>

using namespace std::chrono_literals;

// The periods asked of a graph: at its own rate, as PipeWire rounds them, never
// shorter than another program's, and back down after a long clean stretch.
class TestPeriodPolicy : public QObject {
    Q_OBJECT

private slots:
    void periodsAtTheGraphsRate_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("maxQuantum");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("longest");
        // At least as long as 256 and 2048 frames at 48 kHz, as powers of two:
        // the graph would round anything else down to one.
        QTest::newRow("48 kHz") << 48000 << 0 << 256 << 2048;
        QTest::newRow("44.1 kHz") << 44100 << 0 << 256 << 2048;
        QTest::newRow("88.2 kHz") << 88200 << 0 << 512 << 4096;
        QTest::newRow("96 kHz") << 96000 << 0 << 512 << 4096;
        QTest::newRow("96 kHz, the server's longest 2048") << 96000 << 2048 << 512 << 2048;
        QTest::newRow("a server whose longest is not a power of two")
            << 48000 << 1500 << 256 << 1024;
    }
    void periodsAtTheGraphsRate()
    {
        QFETCH(int, rate);
        QFETCH(int, maxQuantum);
        QFETCH(int, start);
        QFETCH(int, longest);
        PeriodPolicy policy;
        policy.setGraph(rate, maxQuantum);
        QCOMPARE(policy.startFrames(), start);
        QCOMPARE(policy.learntFrames(), start);
        QCOMPARE(policy.longestFrames(), longest);
    }

    // What the graph runs at for another program's stream: its node.latency,
    // the default quantum where it has none, the longest until it is known.
    void anotherProgramsPeriod_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<bool>("known");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("at"); // 0: no node.latency
        QTest::addColumn<int>("period");
        QTest::newRow("1024/44100 on a 44.1 kHz graph") << 44100 << true << 1024 << 44100 << 1024;
        QTest::newRow("1024/48000 on a 44.1 kHz graph") << 44100 << true << 1024 << 48000 << 512;
        QTest::newRow("1000/48000, rounded down") << 48000 << true << 1000 << 48000 << 512;
        QTest::newRow("pw-play's 100 ms, held at the longest")
            << 48000 << true << 4800 << 48000 << 2048;
        QTest::newRow("512/48000 on a 96 kHz graph") << 96000 << true << 512 << 48000 << 1024;
        QTest::newRow("no node.latency: the default quantum") << 48000 << true << 0 << 0 << 1024;
        QTest::newRow("properties not come yet: the longest") << 48000 << false << 0 << 0 << 2048;
    }
    void anotherProgramsPeriod()
    {
        QFETCH(int, rate);
        QFETCH(bool, known);
        QFETCH(int, frames);
        QFETCH(int, at);
        QFETCH(int, period);
        PeriodPolicy policy;
        policy.setGraph(rate);
        const int other =
            policy.otherPeriod({known, std::uint64_t(frames), std::uint64_t(at)}, 1024);
        QCOMPARE(other, period);
        // Asked no shorter than that, whatever was learnt.
        QCOMPARE(policy.onWake(0, other), std::max(period, policy.startFrames()));
    }

    // A session as a script of steps, each "event@minute": "w" a sound from
    // silence with the graph ours alone, "o" one while another program has a
    // stream at 512 frames, "m" periods missed at what was asked last. The
    // periods asked, one a step; the wait before a try starts at 10 minutes.
    void stepsUpAndBackDown_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("asked");
        QTest::newRow("a miss doubles, it does not jump to the longest")
            << "w@0 m@0 m@0 m@0 m@0"
            << "256 512 1024 2048 2048";
        QTest::newRow("what was learnt stays through a short quiet") << "w@0 m@0 w@9 w@9.9"
                                                                     << "256 512 512 512";
        QTest::newRow("after a clean stretch one step down, then another")
            << "w@0 m@0 m@0 w@10 w@19 w@20 w@40"
            << "256 512 1024 512 512 256 256";
        QTest::newRow("misses at the longest put the next try off")
            << "w@0 m@0 m@0 m@0 m@5 w@10 w@15"
            << "256 512 1024 2048 2048 2048 1024";
        QTest::newRow("never a try while another program has a stream") << "w@0 m@0 m@0 o@30 w@30"
                                                                        << "256 512 1024 1024 512";
        QTest::newRow("a failed try steps back up and doubles the wait")
            << "w@0 m@0 w@10 m@10 w@25 w@30 m@31 w@50 w@71"
            << "256 512 256 512 512 256 512 512 256";
        QTest::newRow("a miss long after a try is an ordinary step up")
            << "w@0 m@0 w@10 m@25 w@30 w@35 m@35 w@50"
            << "256 512 256 512 512 256 512 512";
    }
    void stepsUpAndBackDown()
    {
        QFETCH(QString, script);
        QFETCH(QString, asked);
        PeriodPolicy policy(10min);
        policy.setGraph(48000);
        QStringList got;
        int last = 0;
        for (const QString &step : script.split(' ')) {
            const auto at = PeriodPolicy::Ns(step.mid(2).toDouble() * 60e9);
            switch (step[0].toLatin1()) {
            case 'w':
                last = policy.onWake(at, 0);
                break;
            case 'o':
                last = policy.onWake(at, 512);
                break;
            case 'm':
                last = policy.onMisses(at, last);
                break;
            }
            got << QString::number(last);
        }
        QCOMPARE(got.join(' '), asked);
    }
};

QTEST_GUILESS_MAIN(TestPeriodPolicy)
#include "tst_period_policy.moc"
