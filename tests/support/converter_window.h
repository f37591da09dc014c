// Driving the image converter window as a person would: a kind chosen in
// a list (which, for the source, refills the destinations), the two paths
// typed in, and GO.
#pragma once

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <string>

#include "tools/convert/ufrmconvert.h"

namespace test_support {

inline void ChooseKind(tarnovell::Tfrmconvert& window, QListWidget* list, const QString& kind) {
    const auto found = list->findItems(kind, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << kind.toStdString();
    list->setCurrentItem(found.first());
    if (list == window.lstSource) window.lstSourceClick();
}

inline void RunConversion(tarnovell::Tfrmconvert& window, const QString& from, const std::string& source,
                          const QString& to, const std::string& destination) {
    ChooseKind(window, window.lstSource, from);
    ChooseKind(window, window.lstDestination, to);
    window.txtSource->setText(QString::fromStdString(source));
    window.txtDestination->setText(QString::fromStdString(destination));
    window.btnGo->click();
}

}  // namespace test_support
