// Shared pieces of the window tests: a private folder with its own printers file and environment,
// a catcher that answers message boxes, and waiting helpers that keep Qt's loop running.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

#include "support/PrivateFiles.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quenlo::apptest {

namespace fs = std::filesystem;

// Runs Qt's events until `done` holds or `limit` passes; true when it holds.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

using test::ScopedEnv;

// A private folder that is the current directory, the home and the configuration folder, so the
// printers file is found exactly where a test puts it.
class PrivateFolder {
public:
    PrivateFolder() {
        fs::permissions(dir_.Folder("run"), fs::perms::owner_all);
        env_.Set("HOME", dir_.Folder("home"));
        env_.Set("XDG_CONFIG_HOME", dir_.Folder("config"));
        env_.Set("XDG_RUNTIME_DIR", dir_ / "run");
    }

    const std::string& Dir() const { return dir_.Path(); }
    // Writes printers.qdl into the current directory (the folder itself).
    void WritePrintersFile(const std::string& text) const { dir_.Write("printers.qdl", text); }

private:
    test::TempDir dir_{"app"};
    test::ScopedCwd cwd_{dir_.Path()};
    ScopedEnv env_;
};

// One printer block of a printers file.
inline std::string PrinterBlock(const std::string& name, const std::string& remotehost,
                                const std::string& url, int localport = -1, const std::string& comment = {}) {
    std::ostringstream out;
    out << "<printer>\nname=" << name << "\nremotehost=" << remotehost << "\nurl=" << url
        << "\nlocalport=" << localport << "\n";
    if (!comment.empty())
        out << "comment=" << comment << "\n";
    out << "<endprinter>\n";
    return out.str();
}

// One line of the stand-in gateway's log: "start", pid, cwd, arguments... or "term", pid.
struct GatewayLogLine {
    std::string kind;
    std::string pid;
    std::vector<std::string> fields;
};

inline std::vector<GatewayLogLine> ReadGatewayLog(const std::string& path) {
    std::ifstream in(path);
    std::vector<GatewayLogLine> lines;
    for (std::string text; std::getline(in, text);) {
        std::istringstream fields(text);
        GatewayLogLine line;
        std::getline(fields, line.kind, '\t');
        std::getline(fields, line.pid, '\t');
        for (std::string f; std::getline(fields, f, '\t');)
            line.fields.push_back(f);
        lines.push_back(line);
    }
    return lines;
}

inline std::size_t CountGatewayLog(const std::string& path, const std::string& kind) {
    std::size_t n = 0;
    for (const GatewayLogLine& line : ReadGatewayLog(path))
        n += line.kind == kind;
    return n;
}

// A folder holding the stand-in gateway under the gateway program's name, and its log.
class GatewayFolder {
public:
    explicit GatewayFolder(const std::string& base, bool withProgram = true)
        : exeDir_(base + "/bin/"), log_(base + "/gateways.log"), logEnv_("QUENLO_FAKE_GATEWAY_LOG", log_) {
        fs::create_directories(exeDir_);
        if (withProgram)
            fs::copy_file(QUENLO_FAKE_GATEWAY, exeDir_ + "Ferrowick.exe");
    }
    const std::string& ExeDir() const { return exeDir_; }
    const std::string& Log() const { return log_; }
    std::vector<GatewayLogLine> Lines() const { return ReadGatewayLog(log_); }
    std::size_t Count(const std::string& kind) const { return CountGatewayLog(log_, kind); }

private:
    std::string exeDir_;
    std::string log_;
    ScopedEnv logEnv_;
};

// An address on which nothing listens: connecting is refused at once.
inline std::string DeadAddress() { return "127.0.0.1:9"; }

// Answers every message box that opens while it lives, recording its text and icon.
class MessageBoxCatcher {
public:
    struct Box {
        std::string text;
        QMessageBox::Icon icon;
        std::string caption;
    };

    MessageBoxCatcher() {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            boxes.push_back({box->text().toStdString(), box->icon(), box->windowTitle().toStdString()});
            box->accept();
        });
        timer_.start();
    }

    std::vector<Box> boxes;

private:
    QTimer timer_;
};

}  // namespace quenlo::apptest
