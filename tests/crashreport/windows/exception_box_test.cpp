// The reporter's windows on the offscreen platform.
#include "crashreport/windows/exception_box.h"

#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <tuple>

#include <QApplication>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include "crashreport/crash_test_settings.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/windows/form_window.h"
#include "crashreport/windows/progress_alert_window.h"
#include "crashreport/windows/zel_application.h"
#include "support/test_application.h"

namespace crashreport_test {

using namespace crashreport;

namespace {

IZEException MakeException(const SettingsMap& extra = {}, bool can_continue = true) {
    auto settings = BaseSettings();
    for (const auto& [key, value] : extra) settings[key] = value;
    UseSettings(settings);
    auto exception = std::make_shared<TIZEException>(ExecutableModule());
    exception->object = MakeExceptionInfo("EInOutError", "The disk in drive two went away. Please check the cable and try again.");
    exception->InitCanContinue(can_continue);
    exception->SetListThreads(false);
    exception->SetShowDisAsm(false);
    return exception;
}

bool Shown(const TExceptionBox& box, BoxButton which) { return !box.Button(which)->isHidden(); }

}  // namespace

TEST(ExceptionBox, ButtonsFollowTheSettings) {
    test_support::TestApplication();
    TExceptionBox box(MakeException({{"SaveBtnVis", false}, {"PrintBtnVis", true}}), 0, true);
    box.show();
    EXPECT_EQ(box.objectName(), "zelExceptWndClass");
    EXPECT_EQ(box.windowTitle(), "crashreport_tests");  // %appname%
    EXPECT_TRUE(Shown(box, kBoxSend));
    EXPECT_FALSE(Shown(box, kBoxSave));
    EXPECT_TRUE(Shown(box, kBoxPrint));
    EXPECT_TRUE(Shown(box, kBoxShow));
    EXPECT_TRUE(Shown(box, kBoxContinue));
    EXPECT_TRUE(Shown(box, kBoxRestart));
    EXPECT_TRUE(Shown(box, kBoxClose));
    EXPECT_EQ(box.Button(kBoxSend)->text(), "send bug report");
    EXPECT_EQ(box.Button(kBoxContinue)->text(), "continue application");
    EXPECT_TRUE(box.Button(kBoxContinue)->isEnabled());
    EXPECT_EQ(box.CountDownButton(), nullptr);
    EXPECT_EQ(box.findChild<QLabel*>("MessageLabel")->text().toStdString(), "An error occurred in the application.");
}

TEST(ExceptionBox, ProgramThatCannotGoOnHasNoUsableContinue) {
    test_support::TestApplication();
    TExceptionBox box(MakeException({}, false), 0, true);
    EXPECT_FALSE(box.Button(kBoxContinue)->isEnabled());
}

TEST(ExceptionBox, SimpleModesShowTheMessageWithOkAndDetails) {
    test_support::TestApplication();
    TExceptionBox with_details(MakeException(), 2, true);
    EXPECT_TRUE(Shown(with_details, kBoxContinue));
    EXPECT_EQ(with_details.Button(kBoxContinue)->text(), "&OK");
    EXPECT_TRUE(Shown(with_details, kBoxShow));
    EXPECT_EQ(with_details.Button(kBoxShow)->text(), "&Details");
    EXPECT_FALSE(Shown(with_details, kBoxSend));
    EXPECT_FALSE(Shown(with_details, kBoxClose));
    // Long messages break after their sentences.
    EXPECT_EQ(with_details.findChild<QLabel*>("MessageLabel")->text().toStdString(),
              "The disk in drive two went away.\r\nPlease check the cable and try again.");
    EXPECT_EQ(with_details.windowTitle(), "crashreport_tests");
    TExceptionBox without(MakeException(), 3, true);
    EXPECT_FALSE(Shown(without, kBoxShow));
}

TEST(ExceptionBox, AutomaticCloseCountsDownOnTheCloseButton) {
    test_support::TestApplication();
    TExceptionBox box(MakeException({{"AutoClose", 1}, {"AutoDelay", 30}}), 0, true);
    EXPECT_EQ(box.CountDownButton(), box.Button(kBoxClose));
    EXPECT_TRUE(box.Button(kBoxClose)->isDefault());
    TExceptionBox never(MakeException({{"AutoClose", 1}, {"AutoDelay", 0}}), 0, true);
    EXPECT_EQ(never.CountDownButton(), nullptr);
    TExceptionBox continuing(MakeException({{"AutoContinue", true}}), 0, true);
    EXPECT_EQ(continuing.CountDownButton(), continuing.Button(kBoxContinue));
}

TEST(ExceptionBox, ShowButtonReopensTheBoxWithTheReportInTabs) {
    test_support::TestApplication();
    const IZEException exception = MakeException();
    {
        TExceptionBox box(exception, 0, true);
        box.show();
        box.Press(kBoxShow);
        EXPECT_TRUE(box.ReShowWanted());
        EXPECT_EQ(box.Tabs(), nullptr);
    }
    exception->SetAutoShowBugRep(true);
    TExceptionBox again(exception, 0, false);
    EXPECT_FALSE(Shown(again, kBoxShow));
    EXPECT_EQ(again.CountDownButton(), nullptr);
    ASSERT_NE(again.Tabs(), nullptr);
    exception->GetReportText(true);
    again.SyncTabs();
    QStringList tabs;
    for (int i = 0; i < again.Tabs()->count(); ++i) tabs << again.Tabs()->tabText(i);
    EXPECT_EQ(tabs.join(",").toStdString(), "general,call stack,modules");
}

TEST(ExceptionBox, AReportHandedInAsTextFillsEveryTab) {
    // As the crash box gets it: the report of the failed instance as text.
    test_support::TestApplication();
    const std::string report = LayoutReportText(
        {{"date/time", "2026-01-01, 10:00:00, 1ms"}, {"exception class", "EAccessViolation"}},
        {{"thread $1a2b:", "000055e3500a1920 +00 tarnovell main.cpp 32 +0 main\r\n\r\n  indented"},
         {"main thread ($1a00):", "00007f14f70a3f16 +000 libc.so.6"},
         {"modules", "000055e350083000 tarnovell 2.3.8 /usr/bin/"},
         {"cpu registers", "rax    = 0000000000000000"}});
    const IZEException exception = MakeException({{"AutoShowBugRep", true}});
    exception->SetReportText(report);
    TExceptionBox box(exception, 0, false);
    ASSERT_NE(box.Tabs(), nullptr);
    box.SyncTabs();
    QStringList tabs;
    for (int i = 0; i < box.Tabs()->count(); ++i) tabs << box.Tabs()->tabText(i);
    EXPECT_EQ(tabs.join(",").toStdString(), "general,call stacks,modules,cpu regs");
    auto text = [&](int tab) { return qobject_cast<QPlainTextEdit*>(box.Tabs()->widget(tab))->toPlainText().toStdString(); };
    EXPECT_EQ(text(0), "date/time\t2026-01-01, 10:00:00, 1ms\nexception class\tEAccessViolation\n");
    EXPECT_EQ(text(1), ">> thread $1a2b:\n000055e3500a1920 +00 tarnovell main.cpp 32 +0 main\n\n  indented\n\n"
                       ">> main thread ($1a00):\n00007f14f70a3f16 +000 libc.so.6");
    EXPECT_EQ(text(2), "000055e350083000 tarnovell 2.3.8 /usr/bin/");
    EXPECT_EQ(text(3), "rax    = 0000000000000000");
    // Every value of the general tab stands in one column, a blank past the
    // longest name: at the tab stop after it, not at the next default stop.
    auto* general = qobject_cast<QPlainTextEdit*>(box.Tabs()->widget(0));
    const QFontMetricsF metrics(general->font());
    for (const char* name : {"date/time", "exception class"})
        EXPECT_GT(general->tabStopDistance(), metrics.horizontalAdvance(QString(name) + " ")) << name;
}

TEST(ExceptionBox, ContinueClosesTheBox) {
    test_support::TestApplication();
    TExceptionBox box(MakeException(), 0, true);
    box.show();
    box.Button(kBoxContinue)->click();
    EXPECT_FALSE(box.isVisible());
    EXPECT_FALSE(box.ReShowWanted());
}

TEST(ProgressAlert, UserCannotCloseItButTheProgramCan) {
    test_support::TestApplication();
    ProgressAlertWindow window("Sending bug report...");
    window.show();
    window.close();
    EXPECT_TRUE(window.isVisible());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&window, &escape);
    EXPECT_TRUE(window.isVisible());
    window.AllowClose();
    window.close();
    EXPECT_FALSE(window.isVisible());
    // The thread-safe alert built on it keeps its areas.
    IProgressAlertRef alert = CreateProgressAlertWindow("t", "");
    alert->AddArea("one", 100);
    alert->AddArea("two", 300);
    EXPECT_TRUE(alert->Show(false));
    EXPECT_FALSE(alert->Show(false));
    alert->AreaDone();
    alert->SetPosition(500);
    EXPECT_EQ(alert->GetCurrentArea(), 1);
    alert->Close();
}

// A bitmap resource of a 32 x 32 picture: blue, its top row see-through,
// stored bottom-up with 32 bits a pixel.
std::string BluePicture() {
    std::string bitmap(40 + 4 * 32 * 32, '\0');
    const unsigned char header[] = {40, 0, 0, 0, 32, 0, 0, 0, 32, 0, 0, 0, 1, 0, 32, 0};
    std::copy(std::begin(header), std::end(header), bitmap.begin());
    for (int stored = 0; stored < 32; ++stored)
        for (int column = 0; column < 32; ++column) {
            const std::size_t at = 40 + 4 * static_cast<std::size_t>(stored * 32 + column);
            bitmap[at] = static_cast<char>(0xFF);                       // blue
            bitmap[at + 3] = static_cast<char>(stored == 31 ? 0 : 0xFF);  // alpha
        }
    return bitmap;
}

TEST(ProgressAlert, ShowsItsPictureAndHoldsTheActiveWindowWhileItShows) {
    test_support::TestApplication();
    RegisterResource("BITMAP", "TESTPICTURE", BluePicture());
    RegisterResource("BITMAP", "TESTCROOKED", BluePicture().substr(1));
    QWidget program;
    program.setWindowTitle("program");
    program.show();
    QApplication::setActiveWindow(&program);
    auto shown_alert = [] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* window = dynamic_cast<ProgressAlertWindow*>(widget); window && window->isVisible()) return window;
        return static_cast<ProgressAlertWindow*>(nullptr);
    };
    IProgressAlertRef alert = CreateProgressAlertWindow("Information", "TESTPICTURE");
    ASSERT_TRUE(alert->Show(true));
    QCoreApplication::processEvents();
    ProgressAlertWindow* window = shown_alert();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(program.isEnabled());
    const auto* picture = window->findChild<QLabel*>("image");
    const auto* label = window->findChild<QLabel*>("label");
    ASSERT_TRUE(picture && label);
    EXPECT_TRUE(picture->isVisible());
    EXPECT_EQ(picture->size(), QSize(32, 32));
    EXPECT_GE(label->geometry().left(), picture->geometry().right());
    const QImage drawn = picture->pixmap().toImage();
    ASSERT_EQ(drawn.size(), QSize(32, 32));
    // Opaque: the picture's own blue; see-through: the window's colour.
    EXPECT_EQ(drawn.pixel(5, 20), qRgb(0, 0, 255));
    const QColor face = window->palette().color(QPalette::Button);
    EXPECT_EQ(drawn.pixel(5, 0), qRgb(255 * face.red() / 256, 255 * face.green() / 256, (255 * face.blue() + 255) / 256));
    alert->Close();
    EXPECT_TRUE(program.isEnabled());
    EXPECT_EQ(shown_alert(), nullptr);
    // A resource of another size keeps the picture's place, empty.
    IProgressAlertRef crooked = CreateProgressAlertWindow("Information", "TESTCROOKED");
    crooked->Show(false);
    QCoreApplication::processEvents();
    ASSERT_NE(shown_alert(), nullptr);
    const auto* empty = shown_alert()->findChild<QLabel*>("image");
    EXPECT_TRUE(empty->isVisible());
    EXPECT_TRUE(empty->pixmap().isNull());
    crooked->Close();
}

TEST(FormWindow, EscapeCancelsOnlyWhileCancelIsEnabledAndEnterMovesOn) {
    test_support::TestApplication();
    std::string error;
    const auto root = ParseStreamText(
        "object F: TNVForm\n  object First: INVEdit\n  end\n  object Second: INVEdit\n    Optional = True\n  end\nend\n",
        error);
    ASSERT_TRUE(root);
    TNVForm form(nullptr, 1, 1, nullptr, WriteComponentStream(*root), "Form");
    form.CancelBtn()->SetEnabled(false);
    form.RecheckContinue();
    FormWindow window(form);
    window.show();
    EXPECT_FALSE(window.WidgetOf("ContinueBtn")->isEnabled());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&window, &escape);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(form.modal_result(), 0);
    window.WidgetOf("First")->setFocus();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    qobject_cast<QLineEdit*>(window.WidgetOf("First"))->setText("typed");
    EXPECT_EQ(form.Edit("First")->text(), "typed");
    EXPECT_TRUE(window.WidgetOf("ContinueBtn")->isEnabled());
    form.CancelBtn()->SetEnabled(true);
    QApplication::sendEvent(&window, &escape);
    EXPECT_EQ(form.modal_result(), kResultCancel);
}

TEST(FormWindow, EnterOnAMainButtonEndsThePageAndTabLeavesAMultiLineEdit) {
    test_support::TestApplication();
    std::string error;
    const auto root = ParseStreamText(
        "object F: TNVForm\n  object Notes: INVEdit\n    Lines = 4\n    Optional = True\n  end\n"
        "  object After: INVEdit\n    Optional = True\n  end\nend\n",
        error);
    ASSERT_TRUE(root) << error;
    for (const char* button : {"ContinueBtn", "SkipBtn", "CancelBtn"}) {
        TNVForm form(nullptr, 1, 1, nullptr, WriteComponentStream(*root), "Form");
        form.Edit("Notes")->SetText("first line\r\nsecond line");
        FormWindow window(form);
        window.show();
        auto* notes = qobject_cast<QPlainTextEdit*>(window.WidgetOf("Notes"));
        ASSERT_NE(notes, nullptr);
        EXPECT_EQ(notes->toPlainText().toStdString(), "first line\nsecond line");
        // Typing a line break: the text comes back with CR LF.
        notes->appendPlainText("third");
        EXPECT_EQ(form.Edit("Notes")->text(), "first line\r\nsecond line\r\nthird");
        // Tab moves on to the next item instead of going into the text.
        notes->setFocus();
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(notes, &tab);
        EXPECT_EQ(window.focusWidget(), window.WidgetOf("After"));
        EXPECT_EQ(form.Edit("Notes")->text(), "first line\r\nsecond line\r\nthird");
        // Enter on a focused main button presses it.
        QWidget* focused = window.WidgetOf(button);
        focused->setFocus();
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(focused, &enter);
        const int expected = std::string(button) == "ContinueBtn" ? kResultContinue
                             : std::string(button) == "SkipBtn"   ? kResultSkip
                                                                  : kResultCancel;
        EXPECT_EQ(form.modal_result(), expected) << button;
        EXPECT_FALSE(window.isVisible()) << button;
        EXPECT_EQ(form.Edit("Notes")->text(), "first line\r\nsecond line\r\nthird");
    }
}

TEST(FormWindow, ItemsStandAtTheEnginesGaps) {
    test_support::TestApplication();
    UseSettings(BaseSettings());
    RegisterCrashReporterResourcesForTest();
    auto exception = std::make_shared<TIZEException>(ExecutableModule());
    INVAssistant assistant = LoadAssistantForms("Send", {"ContactForm"}, exception.get());
    FormWindow window(*assistant->Form(0));
    window.show();
    // The contact form: an introduction, two head labels each over its
    // edit, a check box. A pair stands 8 from the next pair and 12 from
    // an item of another kind.
    const std::tuple<const char*, const char*, int> gaps[] = {{"IntroLabel", "NameLabel", 8},
                                                              {"NameLabel", "NameEdit", 4},
                                                              {"NameEdit", "EmailLabel", 8},
                                                              {"EmailLabel", "EmailEdit", 4},
                                                              {"EmailEdit", "MemCheck", 12}};
    for (const auto& [upper, lower, gap] : gaps) {
        const QWidget* above = window.WidgetOf(upper);
        const QWidget* below = window.WidgetOf(lower);
        ASSERT_TRUE(above && below) << upper << " " << lower;
        EXPECT_EQ(below->geometry().top() - above->geometry().bottom() - 1, gap) << upper << " " << lower;
    }
}

TEST(FormWindow, PresenterShowsTheFormAndReturnsTheButtonPressed) {
    test_support::TestApplication();
    InstallReporterWindows();
    std::string error;
    const auto root = ParseStreamText("object F: TNVForm\n  Message = 'One'\nend\n", error);
    TNVForm form(nullptr, 1, 1, nullptr, WriteComponentStream(*root), "Form");
    QTimer::singleShot(0, [] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* window = dynamic_cast<FormWindow*>(widget); window && window->isVisible())
                qobject_cast<QPushButton*>(window->WidgetOf("SkipBtn"))->click();
    });
    EXPECT_EQ(form.ShowModal(), kResultSkip);
    RemoveReporterWindows();
}

}  // namespace crashreport_test
