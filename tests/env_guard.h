#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <initializer_list>
#include <optional>

// Puts the named environment variables back as they were when it goes out of
// scope, so that no test leaks its settings into the next.
class EnvGuard {
public:
    explicit EnvGuard(std::initializer_list<const char *> names)
    {
        for (const char *name : names) {
            saved_.append({name, qEnvironmentVariableIsSet(name)
                                     ? std::optional<QByteArray>(qgetenv(name))
                                     : std::nullopt});
        }
    }
    ~EnvGuard()
    {
        for (const auto &[name, value] : saved_) {
            if (value)
                qputenv(name, *value);
            else
                qunsetenv(name);
        }
    }
    EnvGuard(const EnvGuard &) = delete;
    EnvGuard &operator=(const EnvGuard &) = delete;

private:
    QList<std::pair<const char *, std::optional<QByteArray>>> saved_;
};
