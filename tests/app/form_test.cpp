// The window itself: controls and their look, anchors, menus, the view operations the monitor
// uses, text decoding, placement, and the tray and minimise timer rules.
#include "AppFixture.h"

#include "app/Form1.h"
#include "app/JobListModel.h"
#include "app/TextCodec.h"
#include "monitor/Monitor.h"

#include <QAction>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>

namespace {

using quenlo::JobRow;
using quenlo::Lamp;
using quenlo::app::TForm1;

const QColor kPaleBlueViolet(204, 204, 255);

std::vector<std::string> MenuCaptions(const QMenu* menu) {
    std::vector<std::string> captions;
    for (const QAction* action : menu->actions())
        captions.push_back(action->text().toStdString());
    return captions;
}

TForm1::Options NoTray() { return TForm1::Options{.exeDir = "/nonexistent/", .trayAvailable = false}; }
TForm1::Options WithTray() { return TForm1::Options{.exeDir = "/nonexistent/", .trayAvailable = true}; }

TEST(Form, WindowDesign) {
    TForm1 form(NoTray());
    EXPECT_EQ(form.windowTitle(), "Quenlo");
    EXPECT_EQ(form.size(), QSize(600, 300));
    EXPECT_EQ(form.minimumSize(), QSize(600, 300));
    EXPECT_TRUE(form.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(form.palette().color(QPalette::Window), QColor(Qt::black));
    EXPECT_TRUE(form.autoFillBackground());
    EXPECT_EQ(form.font().pointSize(), 8);
    EXPECT_FALSE(form.windowIcon().isNull());
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.TimerMinimize()->isActive());
    EXPECT_EQ(form.TimerMinimize()->interval(), 1000);
}

TEST(Form, ControlsInStackingOrderInsideTheWindowWithoutOverlap) {
    TForm1 form(NoTray());
    std::vector<std::string> order;
    std::vector<const QWidget*> controls;
    for (QObject* child : form.children())
        if (auto* w = qobject_cast<QWidget*>(child); w && !w->isWindow()) {
            order.push_back(w->objectName().toStdString());
            controls.push_back(w);
        }
    EXPECT_EQ(order, (std::vector<std::string>{"LabelStatus", "ImageStatus", "LabelComment", "RefreshButton",
                                               "LabelPrinterStatus", "ImagePrinterStatus", "ComboBoxPrinterlist",
                                               "ListView"}));
    // What the user must see: every control whole and none covering another.
    for (std::size_t i = 0; i < controls.size(); ++i) {
        EXPECT_TRUE(form.rect().contains(controls[i]->geometry())) << order[i];
        for (std::size_t j = i + 1; j < controls.size(); ++j)
            EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry())) << order[i] << " / " << order[j];
    }

    EXPECT_EQ(form.LabelStatus()->text(), "LabelStatus");
    EXPECT_EQ(form.LabelComment()->text().toStdString(), "Megjegyzés:");
    EXPECT_EQ(form.LabelPrinterStatus()->text(), "printer - unknown");
    // Labels take the width of their text.
    EXPECT_EQ(form.LabelStatus()->width(), form.LabelStatus()->sizeHint().width());
}

TEST(Form, ControlsLookAndBehaviour) {
    TForm1 form(NoTray());
    for (QWidget* w : std::initializer_list<QWidget*>{form.LabelStatus(), form.LabelComment(),
                                                       form.LabelPrinterStatus(), form.ComboBoxPrinterlist(),
                                                       form.ListView()}) {
        EXPECT_EQ(w->palette().color(w->foregroundRole()), kPaleBlueViolet) << w->objectName().toStdString();
        EXPECT_EQ(w->font().pointSize(), 8) << w->objectName().toStdString();
    }
    EXPECT_EQ(form.ComboBoxPrinterlist()->palette().color(QPalette::Base), QColor(Qt::black));
    EXPECT_EQ(form.ListView()->palette().color(QPalette::Base), QColor(Qt::black));
    EXPECT_TRUE(form.LabelStatus()->autoFillBackground());

    QComboBox* combo = form.ComboBoxPrinterlist();
    EXPECT_FALSE(combo->isEditable());
    EXPECT_FALSE(combo->hasFrame());
    EXPECT_EQ(combo->maxVisibleItems(), 10);
    // The drop-down list is a window of its own: black with the panel's text colour as well.
    EXPECT_EQ(combo->view()->palette().color(QPalette::Base), QColor(Qt::black));
    EXPECT_EQ(combo->view()->palette().color(QPalette::Text), kPaleBlueViolet);
    EXPECT_EQ(combo->view()->window()->palette().color(QPalette::Window), QColor(Qt::black));
    EXPECT_EQ(combo->nextInFocusChain(), form.ListView());

    QTableView* list = form.ListView();
    EXPECT_TRUE(list->showGrid());
    EXPECT_EQ(list->frameShape(), QFrame::NoFrame);
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(list->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_FALSE(list->verticalHeader()->isVisible());
    EXPECT_TRUE(list->hasMouseTracking());

    QToolButton* refresh = form.RefreshButton();
    EXPECT_TRUE(refresh->autoRaise());
    EXPECT_EQ(refresh->toolTip().toStdString(), "Lista frissítése");
    // Hints show over the panel also while another window is active.
    EXPECT_TRUE(form.testAttribute(Qt::WA_AlwaysShowToolTips));
    EXPECT_FALSE(refresh->icon().isNull());

    for (Lamp lamp : {Lamp::Green, Lamp::Yellow, Lamp::Red})
        EXPECT_EQ(form.ImageListPicture(lamp).size(), QSize(16, 16));
    // The three lamps really are green, yellow and red in the middle.
    auto centre = [&](Lamp lamp) { return form.ImageListPicture(lamp).toImage().pixelColor(8, 8); };
    EXPECT_GT(centre(Lamp::Green).green(), 2 * centre(Lamp::Green).red());
    EXPECT_GT(centre(Lamp::Yellow).red(), 2 * centre(Lamp::Yellow).blue());
    EXPECT_GT(centre(Lamp::Yellow).green(), 2 * centre(Lamp::Yellow).blue());
    EXPECT_GT(centre(Lamp::Red).red(), 2 * centre(Lamp::Red).green());
}

TEST(Form, ResizingKeepsTheAnchorsAndTheMinimum) {
    TForm1 form(NoTray());
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.resize(800, 450);
    EXPECT_EQ(form.ComboBoxPrinterlist()->geometry(), QRect(0, 0, 800, 21));
    EXPECT_EQ(form.RefreshButton()->geometry(), QRect(781, 61, 18, 18));
    EXPECT_EQ(form.ListView()->geometry(), QRect(0, 80, 800, 369));
    EXPECT_EQ(form.LabelStatus()->pos(), QPoint(24, 24));
    EXPECT_EQ(form.ImagePrinterStatus()->geometry(), QRect(0, 39, 16, 16));

    form.resize(300, 100);
    EXPECT_EQ(form.size(), QSize(600, 300));
    EXPECT_EQ(form.ListView()->geometry(), QRect(0, 80, 600, 219));
}

TEST(Form, PopupMenus) {
    TForm1 form(NoTray());
    EXPECT_EQ(MenuCaptions(form.PopupMenu()), (std::vector<std::string>{"Megszakít", "Szünet", "Folytat"}));
    EXPECT_EQ(MenuCaptions(form.PopupMenuPrinter()),
              (std::vector<std::string>{"Nyomtató felfüggesztése", "Nyomtató folytatása", "Összes feladat törlése"}));
    EXPECT_EQ(form.Megszakit()->objectName(), "Megszakit");
    EXPECT_EQ(form.Osszesfeladattorlese()->objectName(), "Osszesfeladattorlese");

    // The printer menu belongs to the selector and the status area, the job menu to the list; the
    // refresh button has none.
    for (QWidget* w : std::initializer_list<QWidget*>{form.LabelStatus(), form.ImageStatus(), form.LabelComment(),
                                                       form.LabelPrinterStatus(), form.ImagePrinterStatus(),
                                                       form.ComboBoxPrinterlist(), form.ListView()})
        EXPECT_EQ(w->contextMenuPolicy(), Qt::CustomContextMenu) << w->objectName().toStdString();
    EXPECT_NE(form.RefreshButton()->contextMenuPolicy(), Qt::CustomContextMenu);

    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    Q_EMIT form.LabelComment()->customContextMenuRequested(QPoint(2, 2));
    EXPECT_TRUE(form.PopupMenuPrinter()->isVisible());
    EXPECT_FALSE(form.PopupMenu()->isVisible());
    form.PopupMenuPrinter()->hide();
    Q_EMIT form.ListView()->customContextMenuRequested(QPoint(5, 5));
    EXPECT_TRUE(form.PopupMenu()->isVisible());
    form.PopupMenu()->hide();
}

TEST(FormView, SelectorKeepsTheBytesOfEachName) {
    TForm1 form(NoTray());
    form.AddPrinterItem("Laser");
    form.AddPrinterItem("Iroda \xe9p\xfclet");           // code page 1250: "épület"
    form.AddPrinterItem("Rakt\xc3\xa1r");               // UTF-8: "Raktár"
    EXPECT_EQ(form.ComboBoxPrinterlist()->count(), 3);
    EXPECT_EQ(form.ComboBoxPrinterlist()->itemText(1).toStdString(), "Iroda épület");
    EXPECT_EQ(form.ComboBoxPrinterlist()->itemText(2).toStdString(), "Raktár");

    EXPECT_EQ(form.PrinterText(), "");
    form.SelectPrinterItem(1);
    EXPECT_EQ(form.PrinterText(), "Iroda \xe9p\xfclet");
    form.SelectPrinterItem(2);
    EXPECT_EQ(form.PrinterText(), "Rakt\xc3\xa1r");
    form.SelectPrinterItem(7);
    EXPECT_EQ(form.PrinterText(), "");

    form.SetPrinterSelectorEnabled(false);
    form.SetRefreshButtonEnabled(false);
    EXPECT_FALSE(form.ComboBoxPrinterlist()->isEnabled());
    EXPECT_FALSE(form.RefreshButton()->isEnabled());
    form.SetPrinterSelectorEnabled(true);
    form.SetRefreshButtonEnabled(true);
    EXPECT_TRUE(form.ComboBoxPrinterlist()->isEnabled());
    EXPECT_TRUE(form.RefreshButton()->isEnabled());
}

TEST(FormView, JobListRowsAndSelection) {
    TForm1 form(NoTray());
    form.AddJobColumn("job ID", 50);
    form.AddJobColumn("job name", 80);
    form.AddJobColumn("no width", 0);
    EXPECT_EQ(form.JobList()->columnCount(), 3);
    EXPECT_EQ(form.ListView()->columnWidth(1), 80);
    EXPECT_EQ(form.ListView()->columnWidth(2), 50);
    for (const char* caption : {"d", "e", "f", "g", "h", "past the row"})
        form.AddJobColumn(caption, 50);

    QTableView* list = form.ListView();
    const quenlo::app::JobListModel* jobs = form.JobList();
    auto cell = [&](int r, int c) { return jobs->index(r, c).data().toString().toStdString(); };
    form.AddJobRow(JobRow{"12", "Laser", "anna", "Havi jelent\xe9s", "20 K", "pending-held", "job-hold", "x"});
    form.AddJobRow(JobRow{" 13", "Laser", "bela", "invoice\u202egnp.exe", "1 K", "processing", "", "y"});
    ASSERT_EQ(jobs->rowCount(), 2);
    EXPECT_EQ(cell(0, 3), "Havi jelentés");
    // A job name that would read backwards from its override on: the override shows, and acts on
    // nothing, not even inside its cell.
    EXPECT_EQ(cell(1, 3), "\u2068invoice<U+202E>gnp.exe\u2069");
    EXPECT_EQ(cell(1, 2), "bela");
    EXPECT_EQ(cell(1, 8), "");
    EXPECT_EQ(jobs->Row(0)[3], "Havi jelent\xe9s");  // the bytes as handed over

    EXPECT_EQ(form.SelectedJobCount(), 0);
    EXPECT_EQ(form.SelectedJobCaption(), "");
    list->selectRow(1);
    EXPECT_EQ(form.SelectedJobCount(), 1);
    EXPECT_EQ(form.SelectedJobCaption(), " 13");
    list->selectRow(0);
    EXPECT_EQ(form.SelectedJobCount(), 1);  // single selection
    EXPECT_EQ(form.SelectedJobCaption(), "12");

    form.ClearJobs();
    EXPECT_EQ(jobs->rowCount(), 0);
    EXPECT_EQ(form.SelectedJobCount(), 0);
    EXPECT_EQ(form.SelectedJobCaption(), "");
    EXPECT_EQ(jobs->columnCount(), 9);
}

TEST(FormView, ACutOffCellShowsItsFullTextAsItsHintUntilItsColumnIsWidened) {
    TForm1 form(NoTray());
    for (const quenlo::JobColumn& column : quenlo::kJobColumns)
        form.AddJobColumn(column.caption, column.width);
    const std::string longName = "Havi jelent\xc3\xa9s a m\xc3\xa1sodik emeleti nyomtat\xc3\xb3r\xc3\xb3l";
    form.AddJobRow(JobRow{"12", "Laser", "anna", longName, "20 K", "pending-held", "job-hold", "x"});
    form.AddJobRow(JobRow{"13", "Laser", "bela", "b", "1 K", "processing", "", "y"});
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));

    QTableView* list = form.ListView();
    // The hint the list shows for the pointer resting on a cell; empty for none.
    auto hintOver = [&](int row, int column) -> std::string {
        QToolTip::hideText();
        quenlo::apptest::PumpUntil([] { return !QToolTip::isVisible(); }, std::chrono::seconds(3));
        const QPoint at = list->visualRect(form.JobList()->index(row, column)).center();
        QHelpEvent event(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
        QApplication::sendEvent(list->viewport(), &event);
        return QToolTip::isVisible() ? QToolTip::text().toStdString() : std::string();
    };
    EXPECT_EQ(hintOver(0, 3), "Havi jelentés a második emeleti nyomtatóról");
    EXPECT_EQ(hintOver(1, 3), "");
    EXPECT_EQ(hintOver(0, 2), "");

    // Dragging the caption's edge widens the column until nothing is cut off.
    QHeaderView* header = list->horizontalHeader();
    EXPECT_EQ(header->sectionResizeMode(3), QHeaderView::Interactive);
    header->resizeSection(3, 400);
    EXPECT_EQ(hintOver(0, 3), "");
    QToolTip::hideText();
}

TEST(FormView, LabelsAndLamps) {
    TForm1 form(NoTray());
    form.SetLabelStatus("Laser - kapcsol\xc3\xb3""dva (200)");
    EXPECT_EQ(form.LabelStatus()->text().toStdString(), "Laser - kapcsolódva (200)");
    EXPECT_EQ(form.LabelStatus()->width(), form.LabelStatus()->sizeHint().width());
    EXPECT_EQ(form.LabelStatus()->height(), 13);
    form.SetLabelPrinterStatus("Laser - idle, accepting jobs");
    form.SetLabelComment("Megjegyz\xe9s: 2. emelet");
    EXPECT_EQ(form.LabelComment()->text().toStdString(), "Megjegyzés: 2. emelet");
    // A state message is text: no markup, and no override that turns the words after it around.
    form.SetLabelPrinterStatus("Laser - stopped (<b>\xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d</b> \u202eok)");
    EXPECT_EQ(form.LabelPrinterStatus()->textFormat(), Qt::PlainText);
    EXPECT_EQ(form.LabelPrinterStatus()->text().toStdString(),
              "\u2068Laser - stopped (<b>\xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d</b> <U+202E>ok)\u2069");

    EXPECT_FALSE(form.StatusLamp().has_value());
    form.SetImageStatus(Lamp::Yellow);
    form.SetImagePrinterStatus(Lamp::Red);
    EXPECT_EQ(form.StatusLamp(), Lamp::Yellow);
    EXPECT_EQ(form.PrinterStatusLamp(), Lamp::Red);
    EXPECT_EQ(form.ImageStatus()->pixmap().toImage(), form.ImageListPicture(Lamp::Yellow).toImage());
    EXPECT_EQ(form.ImagePrinterStatus()->pixmap().toImage(), form.ImageListPicture(Lamp::Red).toImage());
}

TEST(FormView, MessageBoxes) {
    TForm1 form(NoTray());
    quenlo::apptest::MessageBoxCatcher catcher;
    form.ShowMessage("A job IDje \xc3\xa9rv\xc3\xa9nytelen!\rK\xc3\xa9r\xc3\xa9s megszak\xc3\xadtva!\r(Hibapoz\xc3\xad"
                     "ci\xc3\xb3: 1)",
                     quenlo::MessageIcon::Error);
    form.ShowMessage("A k\xc3\xa9r\xc3\xa9st a szerver elutas\xc3\xadtotta!\rHibak\xc3\xb3""d: 0x0507",
                     quenlo::MessageIcon::Warning);
    ASSERT_EQ(catcher.boxes.size(), 2u);
    EXPECT_EQ(catcher.boxes[0].caption, "Quenlo");
    EXPECT_EQ(catcher.boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(catcher.boxes[0].text, "A job IDje érvénytelen!\nKérés megszakítva!\n(Hibapozíció: 1)");
    EXPECT_EQ(catcher.boxes[1].icon, QMessageBox::Warning);
    EXPECT_EQ(catcher.boxes[1].text, "A kérést a szerver elutasította!\nHibakód: 0x0507");
}

TEST(TextCodec, Utf8WhenValidElseCodePage1250) {
    using quenlo::app::DecodeForDisplay;
    EXPECT_EQ(DecodeForDisplay("").toStdString(), "");
    EXPECT_EQ(DecodeForDisplay("plain ASCII").toStdString(), "plain ASCII");
    EXPECT_EQ(DecodeForDisplay("\xc3\x81rv\xc3\xadzt\xc5\xb1r\xc5\x91").toStdString(), "Árvíztűrő");
    EXPECT_EQ(DecodeForDisplay("\xc1rv\xedzt\xfbr\xf5 t\xfck\xf6rf\xfar\xf3g\xe9p").toStdString(),
              "Árvíztűrő tükörfúrógép");
    EXPECT_EQ(DecodeForDisplay("\x8a\x8e\x9a\x9e\x80").toStdString(), "ŠŽšž€");
    // A truncated UTF-8 sequence is not UTF-8; bytes the code page leaves open show as U+FFFD.
    EXPECT_EQ(DecodeForDisplay("ab\xc3").toStdString(), "abĂ");
    EXPECT_EQ(DecodeForDisplay(std::string("\x81\x98", 2)).toStdString(), "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(DecodeForDisplay(std::string("a\0b", 3)).size(), 3);
    // The program's UTF-8 text joined with a code page 1250 value from the printers file.
    EXPECT_EQ(DecodeForDisplay("Megjegyz\xc3\xa9s: Folyos\xf3 \xe9s l\xe9pcs\xf5").toStdString(),
              "Megjegyzés: Folyosó és lépcső");
    EXPECT_EQ(DecodeForDisplay("\xed\xa0\x80\xf5").toStdString(), "í\xc2\xa0€ő");

    using quenlo::app::MessageTextForDisplay;
    EXPECT_EQ(MessageTextForDisplay("one\rtwo\r\nthree\n").toStdString(), "one\ntwo\nthree\n");
}

TEST(Placement, BottomRightOfTheWholeDesktop) {
    using quenlo::app::BottomRightPlacement;
    EXPECT_EQ(BottomRightPlacement(QRect(0, 0, 1280, 1024)), QPoint(672, 665));
    EXPECT_EQ(BottomRightPlacement(QRect(0, 0, 1920, 1080)), QPoint(1312, 721));
    // Two screens side by side, the second one left of the first.
    EXPECT_EQ(BottomRightPlacement(QRect(-1280, 0, 2560, 1024)), QPoint(672, 665));
    // The window manager's own frame: a larger one stays whole on the desktop, a smaller one keeps
    // the design place.
    EXPECT_EQ(BottomRightPlacement(QRect(0, 0, 1280, 1024), QSize(610, 329)), QPoint(670, 665));
    EXPECT_EQ(BottomRightPlacement(QRect(0, 0, 1280, 1024), QSize(620, 345)), QPoint(660, 649));
    EXPECT_EQ(BottomRightPlacement(QRect(0, 0, 1280, 1024), QSize(602, 325)), QPoint(672, 665));
}

TEST(Tray, TimerSendsTheWindowToTheTrayAndALeftClickBringsItBack) {
    TForm1 form(WithTray());
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_FALSE(form.TrayIcon()->isVisible()) << "no tray icon while the window is shown";
    form.TimerMinimize()->start();
    ASSERT_TRUE(quenlo::apptest::PumpUntil([&] { return !form.isVisible(); }, std::chrono::seconds(30)));
    EXPECT_FALSE(form.TimerMinimize()->isActive());  // fires once
    EXPECT_TRUE(form.TrayIcon()->isVisible());
    EXPECT_EQ(form.TrayIcon()->toolTip(), "Quenlo");
    EXPECT_FALSE(form.TrayIcon()->icon().isNull());

    // Right clicks, double clicks and middle clicks do nothing.
    for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick,
                        QSystemTrayIcon::Unknown}) {
        Q_EMIT form.TrayIcon()->activated(reason);
        EXPECT_FALSE(form.isVisible());
        EXPECT_TRUE(form.TrayIcon()->isVisible());
    }
    Q_EMIT form.TrayIcon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.isMinimized());
    EXPECT_FALSE(form.TrayIcon()->isVisible());

    // Destruction removes the icon whatever the state.
    form.ApplicationMinimize();
    EXPECT_TRUE(form.TrayIcon()->isVisible());
    form.FormDestroy();
    EXPECT_FALSE(form.TrayIcon()->isVisible());
}

TEST(Tray, WithoutANotificationAreaTheWindowIsMinimisedInstead) {
    TForm1 form(NoTray());
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.TimerMinimizeTimer();
    EXPECT_TRUE(form.isMinimized());
    EXPECT_TRUE(form.isVisible());  // still on the task bar
    EXPECT_FALSE(form.TrayIcon()->isVisible());
}

}  // namespace
