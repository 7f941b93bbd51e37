// The running instance's side of a second start (platform/SingleInstance.h): a local socket,
// reachable only by the same user, on which a later start asks for the window. Each request line
// "show [TOKEN]\n" runs OnShow with the desktop's activation token (empty when none came), then
// "shown\n" is answered and the connection closed. Anything else, or a line that does not come
// within two seconds, closes the connection unanswered.
//
// Listening starts when the window is up and stops (the socket file removed) before the
// single-instance lock is released, so a start while this instance ends finds nobody to ask and
// waits for the lock.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <string>

class QLocalServer;
class QLocalSocket;

namespace quenlo::app {

class ShowRequests : public QObject {
public:
    ShowRequests();
    ~ShowRequests() override;
    ShowRequests(const ShowRequests&) = delete;
    ShowRequests& operator=(const ShowRequests&) = delete;

    // Listens on `path`. A file left there by an instance that died is replaced: the caller holds
    // the single-instance lock, so no live instance can be listening there. False when listening
    // failed (later starts then wait as before).
    bool Listen(const std::string& path);
    // Stops listening and removes the socket file; requests not yet answered stay unanswered.
    void Stop();

    std::function<void(const QString& token)> OnShow;

private:
    void Accept();
    void Read(QLocalSocket* client);

    QLocalServer* server_ = nullptr;
};

}  // namespace quenlo::app
