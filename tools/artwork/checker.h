#pragma once

#include <QString>
#include <QTextStream>

// Prints one line per check of a generated file and counts the failures, so a
// generator can check everything it wrote and fail once at the end.
class Checker {
public:
    explicit Checker(QTextStream &out)
        : out_(out)
    {
    }
    void expect(bool ok, const QString &file, const QString &what)
    {
        out_ << (ok ? "ok    " : "FAIL  ") << file << ": " << what << "\n";
        if (!ok)
            ++failures_;
    }
    int failures() const { return failures_; }

private:
    QTextStream &out_;
    int failures_ = 0;
};
