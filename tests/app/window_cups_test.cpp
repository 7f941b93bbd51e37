// The window against a real (private) CUPS server: the first refresh lists the held jobs, choosing
// another printer shows its queue, and the two popup menus act on the server.
#include "AppFixture.h"

#include "app/Form1.h"
#include "support/CupsLab.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include "app/JobListModel.h"

#include <QTableView>
#include <QToolButton>

namespace {

using namespace quenlo::apptest;
using quenlo::Lamp;
using quenlo::app::TForm1;

std::string Cell(const TForm1& form, int row, int column) {
    const QModelIndex cell = form.JobList()->index(row, column);
    return cell.isValid() ? cell.data().toString().toStdString() : std::string("<none>");
}

std::string Text(const QLabel* label) { return label->text().toStdString(); }

class WindowCupsTest : public ::testing::Test {
protected:
    // Two printers on the lab server: the first with held jobs of two users, the second empty.
    std::unique_ptr<TForm1> StartWindow(quenlo::test::CupsLab& lab) {
        first_ = lab.AddUniquePrinter("win");
        second_ = lab.AddUniquePrinter("win");
        lab.HoldJobs(first_, 2, {.user = "anna", .size = 3000, .title = "Havi jelentes"});
        lab.HoldJobs(first_, 1, {.user = "bela", .size = 100, .title = "Szamla"});
        folder_.WritePrintersFile(
            PrinterBlock(first_, lab.HostPort(), quenlo::test::CupsLab::PrinterPath(first_), -1, "Iroda") +
            PrinterBlock(second_, lab.HostPort(), quenlo::test::CupsLab::PrinterPath(second_)));
        auto form = std::make_unique<TForm1>(TForm1::Options{.exeDir = folder_.Dir() + "/", .trayAvailable = false});
        form->FormCreate();
        form->TimerMinimize()->stop();
        form->show();
        return form;
    }

    PrivateFolder folder_;
    MessageBoxCatcher boxes_;
    std::string first_, second_;
};

TEST_F(WindowCupsTest, FirstRefreshListsTheHeldJobsAndSelectingAnotherPrinterShowsItsQueue) {
    QUENLO_REQUIRE_CUPS_LAB(lab);
    auto form = StartWindow(lab);

    EXPECT_EQ(Text(form->LabelStatus()), first_ + " - kapcsolódva, IPP rendben (200)");
    EXPECT_EQ(form->StatusLamp(), Lamp::Green);
    EXPECT_EQ(Text(form->LabelPrinterStatus()), first_ + " - idle, accepting jobs");
    EXPECT_EQ(form->PrinterStatusLamp(), Lamp::Green);
    EXPECT_EQ(Text(form->LabelComment()), "Megjegyzés: Iroda");
    ASSERT_EQ(form->JobList()->rowCount(), 3);
    EXPECT_EQ(Cell(*form, 0, 2), "anna");
    EXPECT_EQ(Cell(*form, 0, 3), "Havi jelentes");
    EXPECT_EQ(Cell(*form, 0, 4), "3 K");
    EXPECT_EQ(Cell(*form, 0, 5), "pending-held");
    EXPECT_EQ(Cell(*form, 2, 2), "bela");
    EXPECT_TRUE(form->ComboBoxPrinterlist()->isEnabled());
    EXPECT_TRUE(form->RefreshButton()->isEnabled());

    form->ComboBoxPrinterlist()->setCurrentIndex(1);
    Q_EMIT form->ComboBoxPrinterlist()->activated(1);
    EXPECT_EQ(Text(form->LabelStatus()), second_ + " - kapcsolódva, IPP rendben (200)");
    EXPECT_EQ(form->JobList()->rowCount(), 0);
    EXPECT_EQ(Text(form->LabelComment()), "Megjegyzés: ");
    EXPECT_TRUE(boxes_.boxes.empty());
}

TEST_F(WindowCupsTest, JobMenuActsOnTheSelectedJob) {
    QUENLO_REQUIRE_CUPS_LAB(lab);
    auto form = StartWindow(lab);
    ASSERT_EQ(form->JobList()->rowCount(), 3);

    // Nothing selected: a warning, nothing sent.
    form->Megszakit()->trigger();
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_EQ(boxes_.boxes[0].text, "Nincs kijelölve feladat, amit megszakíthatna!");
    EXPECT_EQ(boxes_.boxes[0].icon, QMessageBox::Warning);
    EXPECT_EQ(form->JobList()->rowCount(), 3);

    // Cancel the bela's job: the refresh that follows no longer lists it.
    const std::string cancelled = Cell(*form, 2, 0);
    form->ListView()->selectRow(2);
    form->Megszakit()->trigger();
    EXPECT_EQ(boxes_.boxes.size(), 1u);
    ASSERT_EQ(form->JobList()->rowCount(), 2);
    for (int r = 0; r < 2; ++r)
        EXPECT_NE(Cell(*form, r, 0), cancelled);

    // Release the first job: it leaves the held state.
    form->ListView()->selectRow(0);
    const std::string released = Cell(*form, 0, 0);
    form->Folytat()->trigger();
    EXPECT_EQ(boxes_.boxes.size(), 1u);
    for (int r = 0; r < form->JobList()->rowCount(); ++r) {
        if (Cell(*form, r, 0) == released) {
            EXPECT_NE(Cell(*form, r, 5), "pending-held");
        }
    }
}

TEST_F(WindowCupsTest, PrinterMenuPausesResumesAndPurges) {
    QUENLO_REQUIRE_CUPS_LAB(lab);
    auto form = StartWindow(lab);

    form->Nyomtatofelfuggesztese()->trigger();
    EXPECT_EQ(form->PrinterStatusLamp(), Lamp::Yellow);
    EXPECT_NE(Text(form->LabelPrinterStatus()).find(" - stopped"), std::string::npos)
        << Text(form->LabelPrinterStatus());

    form->Nyomtatofolytatasa()->trigger();
    EXPECT_EQ(form->PrinterStatusLamp(), Lamp::Green);

    form->Osszesfeladattorlese()->trigger();
    EXPECT_EQ(form->JobList()->rowCount(), 0);
    EXPECT_EQ(Text(form->LabelStatus()), first_ + " - kapcsolódva, IPP rendben (200)");
    EXPECT_TRUE(boxes_.boxes.empty());
}

}  // namespace
