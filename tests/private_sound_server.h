#pragma once

// A private sound server started by the test's own script, and a recording of
// what its null sink "zembra" plays.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryFile>

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

// A private server of the kind under test, from the test's own script; the
// server ends when this object does, or when the test process dies.
class Server {
public:
    // minQuantum: PipeWire's shortest period in frames; 0 leaves a desktop's.
    explicit Server(const QString &kind, int minQuantum = 0)
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (minQuantum)
            env.insert(QStringLiteral("ZEMBRA_PIPEWIRE_MIN_QUANTUM"), QString::number(minQuantum));
        process_.setProcessEnvironment(env);
        process_.start(QStringLiteral(SOUND_SERVER_SCRIPT), {kind});
        QByteArray out;
        while (!out.contains("READY\n") && process_.waitForReadyRead(30000))
            out += process_.readAllStandardOutput();
        for (const QByteArray &line : out.split('\n')) {
            const int eq = line.indexOf('=');
            if (eq <= 0)
                continue;
            const QByteArray name = line.left(eq), value = line.mid(eq + 1);
            if (name == "SERVER_PIDS")
                for (const QByteArray &pid : value.split(' '))
                    pids_.append(pid.toInt());
            else if (name == "DAEMON_PID")
                daemon_ = value.toInt();
            else
                env_.append({name, value});
        }
        ready_ = out.contains("READY\n");
    }
    ~Server() { stop(); }

    bool ready() const { return ready_; }
    // Points this process's sound clients at the server.
    void use() const
    {
        for (const auto &[name, value] : env_)
            qputenv(name.constData(), value);
    }
    void signal(int sig) const
    {
        for (int pid : pids_)
            ::kill(pid, sig);
    }
    // The process that runs the graph (or mixes, on PulseAudio).
    int daemon() const { return daemon_; }
    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        signal(SIGCONT);
        process_.closeWriteChannel();
        if (!process_.waitForFinished(30000))
            process_.kill();
    }

private:
    QProcess process_;
    QList<std::pair<QByteArray, QByteArray>> env_;
    QList<int> pids_;
    int daemon_ = 0;
    bool ready_ = false;
};

// What the null sink plays, heard on its monitor.
class Recorder {
public:
    explicit Recorder(int rate)
    {
        // Straight to a file: a pipe nobody reads while the test sleeps would
        // stall the recorder.
        file_.open();
        process_.setStandardOutputFile(file_.fileName());
        process_.start(QStringLiteral("parecord"),
                       {QStringLiteral("--device=zembra.monitor"), QStringLiteral("--raw"),
                        QStringLiteral("--format=s16le"), QStringLiteral("--channels=2"),
                        QStringLiteral("--rate=%1").arg(rate),
                        QStringLiteral("--latency-msec=20")});
        started_ = process_.waitForStarted();
        // Until the recording stream runs.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
    bool started() const { return started_; }
    std::vector<std::int16_t> stop()
    {
        process_.terminate();
        process_.waitForFinished(5000);
        QFile f(file_.fileName());
        const QByteArray raw = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        const auto *frames = reinterpret_cast<const std::int16_t *>(raw.constData());
        std::vector<std::int16_t> left;
        std::size_t loud = 0, differ = 0;
        for (std::size_t i = 0; i < std::size_t(raw.size()) / 4; ++i) {
            loud += frames[2 * i] != 0;
            differ += frames[2 * i] != frames[2 * i + 1];
            left.push_back(frames[2 * i]);
        }
        // Both sides carry the same mono sound.
        if (differ) {
            qWarning("sides differ in %zu of %zu loud frames", differ, loud);
            return {};
        }
        return left;
    }

private:
    QTemporaryFile file_{QDir::tempPath() + QStringLiteral("/zembra-recording-XXXXXX.raw")};
    QProcess process_;
    bool started_ = false;
};
