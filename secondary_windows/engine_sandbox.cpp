#include "secondary_windows/engine_sandbox.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

// Why the update window goes without the web engine: silent unless asked for,
// as in QT_LOGGING_RULES="zembra.webview.info=true".
Q_LOGGING_CATEGORY(lcWebView, "zembra.webview", QtWarningMsg)

// Chromium's switches as the engine gathers them: from its flags variable if
// set, otherwise from the program's arguments after --webEngineArgs.
QStringList engineSwitches()
{
    if (qEnvironmentVariableIsSet("QTWEBENGINE_CHROMIUM_FLAGS"))
        return qEnvironmentVariable("QTWEBENGINE_CHROMIUM_FLAGS").split(u' ', Qt::SkipEmptyParts);
    const QStringList arguments = QCoreApplication::arguments();
    const qsizetype at = arguments.indexOf(QRegularExpression(
        QStringLiteral("--webEngineArgs"), QRegularExpression::CaseInsensitiveOption));
    return at < 0 ? QStringList() : arguments.mid(at + 1);
}

bool hasSwitch(const QStringList &switches, const char *name)
{
    const QString bare = QLatin1String(name);
    return switches.contains(QStringLiteral("--") + bare) ||
           switches.contains(QStringLiteral("-") + bare);
}

bool writeFile(const char *path, const char *text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const auto length = ssize_t(std::strlen(text));
    const bool written = write(fd, text, size_t(length)) == length;
    close(fd);
    return written;
}

// The maps written in the probe's child, made before it forks.
char uidMap[64];
char gidMap[64];

// The engine's namespace sandbox: a child in new user, PID and network
// namespaces that maps its own user and group in them, as the engine's probe
// does. Tried in a child of a child, which leaves this process as it was.
bool makeUserNamespaces()
{
    return unshare(CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET) == 0 &&
           writeFile("/proc/self/setgroups", "deny") && writeFile("/proc/self/gid_map", gidMap) &&
           writeFile("/proc/self/uid_map", uidMap);
}

bool canMakeUserNamespaces()
{
    std::snprintf(uidMap, sizeof uidMap, "%u %u 1\n", unsigned(geteuid()), unsigned(geteuid()));
    std::snprintf(gidMap, sizeof gidMap, "%u %u 1\n", unsigned(getegid()), unsigned(getegid()));
    if (EngineSandbox::inChild(makeUserNamespaces))
        return true;
    qCInfo(lcWebView, "no web engine: its sandbox cannot make user namespaces here");
    return false;
}

bool decide()
{
    const QStringList switches = engineSwitches();
    if (qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX") ||
        hasSwitch(switches, "no-sandbox"))
        return true;
    // The engine refuses root outright, and it has no setuid sandbox to fall back on.
    if (getuid() == 0) {
        qCInfo(lcWebView, "no web engine: its sandbox does not run as root");
        return false;
    }
    if (hasSwitch(switches, "disable-namespace-sandbox")) {
        qCInfo(lcWebView, "no web engine: its namespace sandbox is switched off and it has no "
                          "other");
        return false;
    }
    return canMakeUserNamespaces();
}

} // namespace

bool EngineSandbox::inChild(bool (*probe)(), std::chrono::milliseconds most)
{
    const pid_t child = fork();
    if (child < 0) {
        qCInfo(lcWebView, "the sandbox probe cannot start: %s", std::strerror(errno));
        return false;
    }
    if (child == 0)
        _exit(probe() ? 0 : 1);
    // Polled rather than waited for: a child forked from a process with threads
    // can hang on a lock another thread held, and this thread draws the windows.
    const auto until = std::chrono::steady_clock::now() + most;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0 && errno != EINTR) {
            qCInfo(lcWebView, "the sandbox probe was lost: %s", std::strerror(errno));
            return false;
        }
        if (std::chrono::steady_clock::now() >= until)
            break;
        const timespec step{0, 2'000'000};
        nanosleep(&step, nullptr);
    }
    kill(child, SIGKILL);
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    qCInfo(lcWebView, "the sandbox probe gave no answer within %lld ms: taken as unable to start",
           static_cast<long long>(most.count()));
    return false;
}

bool EngineSandbox::engineCanStart()
{
    static const bool can = decide();
    return can;
}
