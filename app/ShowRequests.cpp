#include "app/ShowRequests.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

namespace quenlo::app {

namespace {

// A request line is "show", a space and a token of at most 512 bytes.
constexpr qint64 kLongestLine = 600;
constexpr int kLineWithinMs = 2000;

// The token as one printable word, or empty: it is handed to the toolkit as it stands.
QString PlainWord(const QByteArray& bytes) {
    for (const char c : bytes)
        if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f)
            return {};
    return QString::fromLatin1(bytes);
}

}  // namespace

ShowRequests::ShowRequests() = default;

ShowRequests::~ShowRequests() { Stop(); }

bool ShowRequests::Listen(const std::string& path) {
    Stop();
    const QString name = QString::fromStdString(path);
    QLocalServer::removeServer(name);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(name)) {
        delete server_;
        server_ = nullptr;
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, &ShowRequests::Accept);
    return true;
}

void ShowRequests::Stop() {
    if (!server_)
        return;
    server_->close();  // removes the socket file
    delete server_;
    server_ = nullptr;
    // A request read after this would reach a window that is going.
    for (QLocalSocket* client : findChildren<QLocalSocket*>(Qt::FindDirectChildrenOnly))
        delete client;
}

void ShowRequests::Accept() {
    while (QLocalSocket* client = server_ ? server_->nextPendingConnection() : nullptr) {
        client->setParent(this);
        connect(client, &QLocalSocket::readyRead, this, [this, client] { Read(client); });
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        QTimer::singleShot(kLineWithinMs, client, [client] { client->abort(); client->deleteLater(); });
        Read(client);  // the line may have come with the connection
    }
}

void ShowRequests::Read(QLocalSocket* client) {
    if (!client->canReadLine()) {
        if (client->bytesAvailable() > kLongestLine)
            client->abort();
        return;
    }
    const QByteArray line = client->readLine(kLongestLine + 1);
    QString token;
    if (line.startsWith("show ") && line.endsWith('\n'))
        token = PlainWord(line.mid(5).chopped(1));
    else if (line != "show\n") {
        client->abort();
        return;
    }
    // No second request on this connection.
    disconnect(client, &QLocalSocket::readyRead, this, nullptr);
    if (OnShow)
        OnShow(token);
    client->write("shown\n");
    client->disconnectFromServer();
}

}  // namespace quenlo::app
