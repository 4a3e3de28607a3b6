#include "main_window/play_command.h"

#include "effects/effect_table.h"
#include "main_window/bus_names.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>

#include <cstdio>
#include <optional>
#include <string_view>

namespace {

constexpr int Pressed = 0;
constexpr int NoZembra = 1;
constexpr int NoSuchButton = 2;
// A Zembra that takes longer than this to answer is stuck, not busy.
constexpr int AnswerTimeoutMs = 5000;

void say(const QString &text)
{
    std::fputs(qPrintable(QStringLiteral("zembra: ") + text + QLatin1Char('\n')), stderr);
}

// The value after --play or -p, or in --play=N; nullopt when there is none.
std::optional<QString> requested(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg.startsWith(QLatin1String("--play=")))
            return arg.mid(7);
        if (arg == QLatin1String("--play") || arg == QLatin1String("-p"))
            return i + 1 < argc ? QString::fromLocal8Bit(argv[i + 1]) : QString();
    }
    return std::nullopt;
}

} // namespace

QCommandLineOption PlayCommand::option()
{
    return QCommandLineOption(
        {QStringLiteral("p"), QStringLiteral("play")},
        QStringLiteral("Çalışan Zembra'da N numaralı düğmeye basar (1-%1); pencere açmaz.")
            .arg(Effects::Count),
        QStringLiteral("N"));
}

bool PlayCommand::isAsked(int argc, char *argv[])
{
    // --help and --version answer first, whatever else is asked.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--help" || arg == "-h" || arg == "--version" || arg == "-v")
            return false;
    }
    return requested(argc, argv).has_value();
}

int PlayCommand::run(int argc, char *argv[])
{
    const QString value = requested(argc, argv).value_or(QString());
    bool isNumber = false;
    const int n = value.toInt(&isNumber);
    if (!isNumber || n < 1 || n > Effects::Count) {
        say(QStringLiteral(
                "--play için 1 ile %1 arasında bir düğme numarası verin (verilen: \"%2\").")
                .arg(Effects::Count)
                .arg(value));
        return NoSuchButton;
    }
    // The program's name alone, as for the window: no argument is Qt's.
    int qtArgc = 1;
    char *qtArgv[] = {argv[0], nullptr};
    QCoreApplication app(qtArgc, qtArgv);
    const QString noZembra =
        QStringLiteral("Çalışan bir Zembra yok. Önce Zembra'yı başlatın, sonra yeniden deneyin.");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) { // no session bus: no Zembra can be reached either
        say(noZembra);
        return NoZembra;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(BusNames::Service), QLatin1String(BusNames::Object),
        QLatin1String(BusNames::Interface), QStringLiteral("Press"));
    call << n;
    call.setAutoStartService(false);
    const QDBusMessage reply = bus.call(call, QDBus::Block, AnswerTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return Pressed;
    const QString error = reply.errorName();
    if (error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
        say(noZembra);
    else
        say(QStringLiteral("Zembra yanıt vermedi: %1").arg(reply.errorMessage()));
    return NoZembra;
}
