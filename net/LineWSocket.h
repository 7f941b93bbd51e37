// TCustomLineWSocket and TCustomSyncWSocket: the receive-side layers of the socket chain (cutting
// input into lines; waiting for a flag). Line cutting is not built yet: with LineMode off (the only
// use in Quenlo) every operation passes straight through to the layers below.
#pragma once

#include "net/SocksWSocket.h"

#include <cstdint>
#include <functional>
#include <string>

namespace quenlo {

class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomLineWSocket(TComponent* owner = nullptr);

    // Published; never fired.
    TNotifyEvent OnLineTooLong;

    // Cut the received stream into lines before offering it to OnDataAvailable.
    bool LineMode() const noexcept { return lineMode_; }
    virtual void SetLineMode(bool value);
    // The line terminator (any length; default CR LF). Empty disables cutting.
    const std::string& LineEnd() const noexcept { return lineEnd_; }
    void SetLineEnd(const std::string& value) { lineEnd_ = value; }
    // Echo received bytes back to the peer.
    bool LineEcho() const noexcept { return lineEcho_; }
    void SetLineEcho(bool value) noexcept { lineEcho_ = value; }
    // Apply backspace and tab editing to received bytes.
    bool LineEdit() const noexcept { return lineEdit_; }
    void SetLineEdit(bool value) noexcept { lineEdit_ = value; }

    int RcvdCount() override;

protected:
    void DispatchNotification(TMessage& msg) override;
    int DoRecv(void* buffer, int bufferSize, int flags) override;
    bool TriggerDataAvailable(std::uint16_t error) override;
    void TriggerSessionClosed(std::uint16_t error) override;
    // Applies line editing to the len newest received bytes.
    virtual void EditLine(int& len);

private:
    bool lineMode_ = false;
    std::string lineEnd_ = "\r\n";
    bool lineEcho_ = false;
    bool lineEdit_ = false;
};

class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(TComponent* owner = nullptr);

    // Time limit of the waiting operations in milliseconds; 0 waits without limit.
    int WaitTimeout() const noexcept { return waitTimeout_; }
    void SetWaitTimeout(int value) noexcept { waitTimeout_ = value; }

private:
    int waitTimeout_ = 0;
};

}  // namespace quenlo
