#include "effects/sound_import.h"

#include "audio/sound_decoder.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Hidden, and never a name the player asks for.
const char UnfinishedMark[] = ".yukleniyor-";

class Fd {
public:
    explicit Fd(int fd = -1)
        : fd_(fd)
    {
    }
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

QString writeFailure(int error)
{
    if (error == ENOSPC || error == EDQUOT || error == EFBIG)
        return QStringLiteral("Diskte yer yok !");
    return QStringLiteral("Diske yazılamadı !");
}

// What a copy cut short by a crash left of this name; a copy that another
// Zembra is writing now is younger than a minute and stays.
void removeLeftovers(const QFileInfo &target)
{
    const QString prefix = QLatin1String(UnfinishedMark) + target.fileName() + QLatin1Char('.');
    const QDateTime stale = QDateTime::currentDateTimeUtc().addSecs(-60);
    const QFileInfoList found =
        QDir(target.absolutePath())
            .entryInfoList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &leftover : found)
        if (leftover.fileName().size() == prefix.size() + 6 && leftover.lastModified() < stale)
            QFile::remove(leftover.absoluteFilePath());
}

bool writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

} // namespace

QString SoundImport::copy(const QString &source, const QString &target)
{
    const QByteArray from = QFile::encodeName(source);
    Fd in(::open(from.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (in.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return QStringLiteral("Dosya bulunamadı !");
        return QStringLiteral("Dosya okunamadı !");
    }
    // Decided on what was opened, so that a file swapped meanwhile cannot slip past.
    struct stat info {};
    if (::fstat(in.get(), &info) != 0)
        return QStringLiteral("Dosya okunamadı !");
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("Klasör ses değil !");
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("Ses dosyası değil !");
    if (info.st_size > MaxBytes)
        return QStringLiteral("Dosya 64 MB'tan büyük !");
    ::fcntl(in.get(), F_SETFL, ::fcntl(in.get(), F_GETFL) & ~O_NONBLOCK);
    {
        // The player's own decoder judges, at a rate every output offers.
        const int probe = ::fcntl(in.get(), F_DUPFD_CLOEXEC, 0);
        if (probe < 0 || !SoundDecoder::open(probe, 48000))
            return QStringLiteral("Ses dosyası değil !");
    }
    if (::lseek(in.get(), 0, SEEK_SET) != 0)
        return QStringLiteral("Dosya okunamadı !");

    const QFileInfo to(target);
    if (!QDir().mkpath(to.absolutePath()))
        return QStringLiteral("Diske yazılamadı !");
    removeLeftovers(to);
    QByteArray temporary =
        QFile::encodeName(to.absolutePath() + QLatin1Char('/') + QLatin1String(UnfinishedMark) +
                          to.fileName() + QStringLiteral(".XXXXXX"));
    Fd out(::mkostemp(temporary.data(), O_CLOEXEC));
    if (out.get() < 0)
        return writeFailure(errno);
    const auto fail = [&](int error) {
        ::unlink(temporary.constData());
        return writeFailure(error);
    };
    // Never more than the size judged above, should the file grow meanwhile.
    std::vector<char> buffer(1 << 20);
    qint64 copied = 0;
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::unlink(temporary.constData());
            return QStringLiteral("Dosya okunamadı !");
        }
        if (n == 0)
            break;
        copied += n;
        if (copied > MaxBytes) {
            ::unlink(temporary.constData());
            return QStringLiteral("Dosya 64 MB'tan büyük !");
        }
        if (!writeAll(out.get(), buffer.data(), std::size_t(n)))
            return fail(errno ? errno : ENOSPC);
    }
    if (::fsync(out.get()) != 0)
        return fail(errno);
    if (::close(out.release()) != 0)
        return fail(errno);
    if (::rename(temporary.constData(), QFile::encodeName(to.absoluteFilePath()).constData()) != 0)
        return fail(errno);
    // The rename itself lasts once the folder is synced.
    Fd dir(::open(QFile::encodeName(to.absolutePath()).constData(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
    return {};
}
