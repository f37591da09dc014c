// "Disk Image Conversion" on the side bar: a new converter on each click,
// owned by the application, whatever row is selected.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QPushButton>

#include "main/operations/side_bar.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "support/embedded_machine.h"
#include "support/test_application.h"
#include "tools/convert/ufrmconvert.h"

namespace {

QList<tarnovell::Tfrmconvert*> Converters() {
    QList<tarnovell::Tfrmconvert*> found;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* converter = qobject_cast<tarnovell::Tfrmconvert*>(w); converter && converter->isVisible())
            found << converter;
    return found;
}

TEST(ConvertWindow, EachClickOpensAConverterOfItsOwn) {
    test_support::TestApplication();
    test_support::EmbeddedMachine machine({test_support::PartitionedExt4Disk()});
    platform::ScriptedInteraction ui;
    platform::ScopedInteraction scope(ui);
    tarnovell::MainState state;
    auto* window = new tarnovell::Tfrmmain(state);
    auto* button = window->findChild<QPushButton*>(
        QString::fromStdString(tarnovell::SideBarButtonName("Disk Image", "Disk Image Conversion")));
    ASSERT_NE(button, nullptr);
    button->click();
    button->click();
    const auto opened = Converters();
    ASSERT_EQ(opened.size(), 2);
    EXPECT_NE(opened[0], opened[1]);
    EXPECT_EQ(opened[0]->parentWidget(), nullptr);
    EXPECT_TRUE(ui.texts().empty());
    // They outlive nothing of the main window's: closing one frees it.
    QPointer<tarnovell::Tfrmconvert> first = opened[0];
    first->close();
    QApplication::processEvents();
    EXPECT_TRUE(first.isNull());
    opened[1]->close();
    delete window;
}

}  // namespace
