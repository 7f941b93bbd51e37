// The network loop inside Qt's: while a request waits for a slow server the window keeps handling
// its events, and the wait sleeps instead of spinning.
#include "AppFixture.h"

#include "app/Form1.h"
#include "support/ScriptedPeer.h"

#include <QComboBox>
#include <QLabel>
#include <QTimer>
#include <QToolButton>
#include <ctime>

namespace {

using namespace quenlo::apptest;
using namespace std::chrono_literals;
using quenlo::app::TForm1;

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

TEST(LoopBridge, WindowStaysLiveWhileARequestWaits) {
    quenlo::test::ScriptedPeer server;
    server.Connection().ReadRequest().Wait(800ms).Send(quenlo::test::ScriptedPeer::Response(404, "Not Found", "")).Close();
    PrivateFolder folder;
    folder.WritePrintersFile(
        PrinterBlock("Slow", "127.0.0.1:" + std::to_string(server.Port()), "/printers/Slow"));
    TForm1 form(TForm1::Options{.exeDir = folder.Dir() + "/", .trayAvailable = false});

    // A timer due while the first refresh waits for the probe's answer.
    bool ticked = false;
    bool selectorDisabled = false;
    bool buttonDisabled = false;
    QTimer::singleShot(200ms, &form, [&] {
        ticked = true;
        selectorDisabled = !form.ComboBoxPrinterlist()->isEnabled();
        buttonDisabled = !form.RefreshButton()->isEnabled();
    });

    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    form.FormCreate();
    const double cpu = CpuSeconds() - cpuStart;
    const auto waited = std::chrono::steady_clock::now() - start;

    EXPECT_GE(waited, 700ms);
    EXPECT_TRUE(ticked) << "Qt's events did not run while the request waited";
    EXPECT_TRUE(selectorDisabled);
    EXPECT_TRUE(buttonDisabled);
    // Sleeping, not spinning: far less processor time than the wait took.
    EXPECT_LT(cpu, 0.4) << "the wait used " << cpu << " s of processor time";

    EXPECT_EQ(form.LabelStatus()->text().toStdString(), "Slow - kapcsolódás sikertelen (404)");
    EXPECT_TRUE(form.ComboBoxPrinterlist()->isEnabled());
    EXPECT_TRUE(form.RefreshButton()->isEnabled());
}

}  // namespace
