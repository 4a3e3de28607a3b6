#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A tiny HTTP/1.0 server on 127.0.0.1 for the update-notice tests. Paths it does
// not know get 404; a path marked slow is answered only on release().
class HttpServer : public QObject {
public:
    HttpServer()
    {
        server_.listen(QHostAddress::LocalHost);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server_.nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        });
    }

    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()); }
    void page(const QByteArray &path, const QByteArray &html) { pages_[path] = html; }
    void slow(const QByteArray &path) { slow_.insert(path, true); }
    // Served as a file to save rather than a page to show.
    void attachment(const QByteArray &path, const QByteArray &body)
    {
        pages_[path] = body;
        attachments_.insert(path, true);
    }
    // Answered "204 No Content": a load that ends without a page.
    void noContent(const QByteArray &path) { noContent_.insert(path, true); }
    void release()
    {
        slow_.clear();
        const auto held = held_;
        held_.clear();
        for (const auto &[socket, path] : held)
            if (socket)
                answer(socket, path);
    }
    int hits(const QByteArray &path) const { return hits_.value(path); }

private:
    void serve(QTcpSocket *socket)
    {
        buffers_[socket] += socket->readAll();
        const QByteArray &request = buffers_[socket];
        if (!request.contains("\r\n\r\n"))
            return;
        const QByteArray path = request.split(' ').value(1);
        buffers_.remove(socket);
        ++hits_[path];
        if (slow_.contains(path))
            held_.append({socket, path});
        else
            answer(socket, path);
    }

    void answer(QTcpSocket *socket, const QByteArray &path)
    {
        if (noContent_.contains(path)) {
            socket->write(
                "HTTP/1.0 204 No Content\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
        const bool found = pages_.contains(path);
        const QByteArray body =
            found ? pages_.value(path) : QByteArray("<html><body>yok</body></html>");
        socket->write((found ? "HTTP/1.0 200 OK\r\n" : "HTTP/1.0 404 Not Found\r\n") +
                      (attachments_.contains(path)
                           ? QByteArray("Content-Type: application/octet-stream\r\n"
                                        "Content-Disposition: attachment; filename=indir.bin\r\n")
                           : QByteArray("Content-Type: text/html; charset=utf-8\r\n")) +
                      QByteArray("Content-Length: ") + QByteArray::number(body.size()) +
                      "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    QTcpServer server_;
    QHash<QByteArray, QByteArray> pages_;
    QHash<QByteArray, bool> slow_;
    QHash<QByteArray, bool> attachments_;
    QHash<QByteArray, bool> noContent_;
    QHash<QByteArray, int> hits_;
    QHash<QTcpSocket *, QByteArray> buffers_;
    QList<QPair<QPointer<QTcpSocket>, QByteArray>> held_;
};
