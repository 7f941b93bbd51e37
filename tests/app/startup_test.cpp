// Start-up and shutdown in the window: the silent ends, the filled selector and the first refresh,
// gateways started in file order and terminated when the window goes, and the minimise hook.
#include "AppFixture.h"

#include "app/Form1.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include "app/JobListModel.h"

#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>

namespace {

using namespace quenlo::apptest;
using quenlo::Lamp;
using quenlo::app::TForm1;

QRect Desktop() {
    QRect r;
    for (const QScreen* s : QGuiApplication::screens())
        r = r.united(s->geometry());
    return r;
}

class StartupTest : public ::testing::Test {
protected:
    TForm1::Options Options(const GatewayFolder& gateways, bool tray = false) const {
        return TForm1::Options{.exeDir = gateways.ExeDir(), .trayAvailable = tray};
    }

    PrivateFolder folder_;
    MessageBoxCatcher boxes_;
};

// No file, and a file without printers: both end silently, without gateways or a refresh; only a
// file that was read has set up the job list's columns.
TEST_F(StartupTest, NoPrintersFileOrOneWithoutPrintersEndsSilently) {
    GatewayFolder gateways(folder_.Dir());
    for (const int columns : {0, 8}) {
        if (columns != 0)
            folder_.WritePrintersFile("<global>\nproxy=proxy.example\nproxyport=3128\n<endglobal>\n");
        TForm1 form(Options(gateways));
        form.FormCreate();
        EXPECT_TRUE(form.TerminationRequested());
        EXPECT_EQ(form.JobList()->columnCount(), columns);
        EXPECT_EQ(form.ComboBoxPrinterlist()->count(), 0);
        EXPECT_FALSE(form.TimerMinimize()->isActive());
        EXPECT_EQ(form.LabelStatus()->text(), "LabelStatus");  // no refresh ran
        EXPECT_TRUE(boxes_.boxes.empty());
        EXPECT_EQ(gateways.Count("start"), 0u);
    }
}

TEST_F(StartupTest, PrintersFillTheSelectorAndTheFirstOneIsRefreshed) {
    GatewayFolder gateways(folder_.Dir());
    folder_.WritePrintersFile(PrinterBlock("Laser", DeadAddress(), "/printers/Laser", 9100, "Folyos\xf3") +
                              PrinterBlock("Office Laser", DeadAddress(), "/printers/Office", -1) +
                              PrinterBlock("Rakt\xe1r", DeadAddress(), "/printers/Raktar", 9101));
    auto form = std::make_unique<TForm1>(Options(gateways));
    form->FormCreate();
    ASSERT_FALSE(form->TerminationRequested());

    // Placement, columns, selector.
    EXPECT_EQ(form->pos(), quenlo::app::BottomRightPlacement(Desktop()));
    std::vector<std::string> captions;
    for (int c = 0; c < form->JobList()->columnCount(); ++c)
        captions.push_back(form->JobList()->headerData(c, Qt::Horizontal).toString().toStdString());
    EXPECT_EQ(captions, (std::vector<std::string>{"job ID", "printer", "user", "job name", "size", "state",
                                                  "state-reason", "time-at-creation"}));
    EXPECT_EQ(form->ListView()->columnWidth(3), 80);
    EXPECT_EQ(form->ListView()->columnWidth(6), 120);
    EXPECT_EQ(form->ListView()->columnWidth(7), 100);
    ASSERT_EQ(form->ComboBoxPrinterlist()->count(), 3);
    EXPECT_EQ(form->ComboBoxPrinterlist()->itemText(1), "Office Laser");
    EXPECT_EQ(form->ComboBoxPrinterlist()->itemText(2).toStdString(), "Raktár");
    EXPECT_EQ(form->ComboBoxPrinterlist()->currentIndex(), 0);
    for (const quenlo::TAList& entry : form->Printers())
        EXPECT_EQ(entry.StatusText, "idle, accepting jobs");

    // The first refresh ran before the window was shown and ended at the dead address.
    EXPECT_EQ(form->LabelStatus()->text().toStdString(), "Laser - kapcsolódás sikertelen (404)");
    EXPECT_EQ(form->LabelComment()->text().toStdString(), "Megjegyzés: Folyosó");
    EXPECT_EQ(form->StatusLamp(), Lamp::Red);
    EXPECT_TRUE(form->ComboBoxPrinterlist()->isEnabled());
    EXPECT_TRUE(form->RefreshButton()->isEnabled());
    EXPECT_TRUE(form->TimerMinimize()->isActive());
    EXPECT_TRUE(boxes_.boxes.empty());

    // Gateways for the two printers with a local port, in file order while the file was read.
    ASSERT_TRUE(PumpUntil([&] { return gateways.Count("start") == 2; }));
    const auto& printers = form->Printers();
    for (std::size_t i : {0u, 2u}) {
        ASSERT_TRUE(printers[i].GatewayProcess.valid());
        bool found = false;
        for (const GatewayLogLine& line : gateways.Lines())
            if (line.kind == "start" && line.pid == std::to_string(printers[i].GatewayProcess.pid)) {
                found = true;
                EXPECT_EQ(line.fields, (std::vector<std::string>{folder_.Dir(), "printers.qdl", printers[i].name}));
            }
        EXPECT_TRUE(found) << printers[i].name;
    }
    EXPECT_FALSE(printers[1].GatewayProcess.valid());

    // Selecting another printer refreshes it.
    form->show();
    form->ComboBoxPrinterlist()->setCurrentIndex(1);
    Q_EMIT form->ComboBoxPrinterlist()->activated(1);
    EXPECT_EQ(form->LabelStatus()->text().toStdString(), "Office Laser - kapcsolódás sikertelen (404)");
    EXPECT_EQ(form->LabelPrinterStatus()->text(), "Office Laser - unknown");

    // Closing the window: the gateways are terminated.
    form.reset();
    EXPECT_TRUE(PumpUntil([&] { return gateways.Count("term") == 2; }));
}

TEST_F(StartupTest, MissingGatewayProgramChangesNothingElse) {
    GatewayFolder gateways(folder_.Dir(), /*withProgram=*/false);
    folder_.WritePrintersFile(PrinterBlock("Laser", DeadAddress(), "/printers/Laser", 9100) +
                              PrinterBlock("Office", DeadAddress(), "/printers/Office", 9101));
    TForm1 form(Options(gateways));
    form.FormCreate();
    ASSERT_FALSE(form.TerminationRequested());
    EXPECT_EQ(form.ComboBoxPrinterlist()->count(), 2);
    for (const quenlo::TAList& entry : form.Printers()) {
        EXPECT_EQ(entry.GatewayState, -1);
        EXPECT_FALSE(entry.GatewayProcess.valid());
    }
    EXPECT_EQ(form.LabelStatus()->text().toStdString(), "Laser - kapcsolódás sikertelen (404)");
    EXPECT_TRUE(form.TimerMinimize()->isActive());
    EXPECT_TRUE(boxes_.boxes.empty());
}

TEST_F(StartupTest, MinimisingTheWindowSendsItToTheTray) {
    GatewayFolder gateways(folder_.Dir());
    folder_.WritePrintersFile(PrinterBlock("Laser", DeadAddress(), "/printers/Laser"));
    TForm1 form(Options(gateways, /*tray=*/true));
    form.FormCreate();
    form.TimerMinimize()->stop();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.showMinimized();
    EXPECT_TRUE(PumpUntil([&] { return !form.isVisible(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(form.TrayIcon()->isVisible());
    Q_EMIT form.TrayIcon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.isMinimized());
    EXPECT_FALSE(form.TrayIcon()->isVisible());
}

TEST_F(StartupTest, ClosingTheWindowEndsTheLoopAndDestructionStopsTheGateways) {
    GatewayFolder gateways(folder_.Dir());
    folder_.WritePrintersFile(PrinterBlock("Laser", DeadAddress(), "/printers/Laser", 9100));
    auto form = std::make_unique<TForm1>(Options(gateways, /*tray=*/true));
    form->FormCreate();
    form->TimerMinimize()->stop();
    form->show();
    ASSERT_TRUE(PumpUntil([&] { return gateways.Count("start") == 1; }));

    // The close button ends the message loop (a guard ends it too, should closing not).
    QTimer::singleShot(0, form.get(), [&] { form->close(); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(5000);
    EXPECT_EQ(QApplication::exec(), 0);
    guard.stop();
    EXPECT_EQ(gateways.Count("term"), 0u);  // not before the window is destroyed

    form->ApplicationMinimize();  // whatever the tray state
    QSystemTrayIcon* tray = form->TrayIcon();
    EXPECT_TRUE(tray->isVisible());
    form->FormDestroy();
    EXPECT_FALSE(tray->isVisible());
    EXPECT_TRUE(PumpUntil([&] { return gateways.Count("term") == 1; }));
    form.reset();  // FormDestroy ran already; nothing runs twice
    EXPECT_EQ(gateways.Count("term"), 1u);
}

}  // namespace
