// Looking at the questions a window asks: scripted answers that first let
// the test look at the window, and real message boxes whose owner is told.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "main/dialogs/window_reporting.h"
#include "platform/base/interaction.h"
#include "support/modal_answer.h"

namespace test_support {

// Answers as scripted, and first lets the test look at the window the
// question is asked over.
class LookingAnswers : public platform::ScriptedInteraction {
public:
    explicit LookingAnswers(std::function<void()> look) : look_(std::move(look)) {}
    bool confirm(const std::string& text, const std::string& caption) override {
        look_();
        return ScriptedInteraction::confirm(text, caption);
    }

private:
    std::function<void()> look_;
};

// For as long as it lives, questions are real message boxes, which belong
// to a stand-in for the main window unless the window that asks claims
// them. The next box is answered No, once its text, what it says of the
// devices it names and the window it belongs to are noted.
class NextBox {
public:
    NextBox() : boxes_(&main_window_), scope_(boxes_) {
        AnswerNextDialog<QMessageBox>(
            [seen = seen_](QMessageBox& box) {
                seen->parent = box.parentWidget();
                seen->text = box.text();
                seen->about = box.informativeText();
            },
            false);
    }
    QWidget* parent() const { return seen_->parent; }
    QString text() const { return seen_->text; }
    QString about() const { return seen_->about; }

private:
    struct Seen {
        QWidget* parent = nullptr;
        QString text;
        QString about;
    };
    std::shared_ptr<Seen> seen_ = std::make_shared<Seen>();
    QWidget main_window_;
    tarnovell::DialogInteraction boxes_;
    platform::ScopedInteraction scope_;
};

}  // namespace test_support
