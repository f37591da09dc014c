// How long operations reach the window: WM_OPERATION posts become Qt events
// that own a copy of their text, the progress bar seam moves pb_img, and the
// questions of the disk library become message boxes.
#pragma once

#include <QEvent>
#include <QPointer>
#include <QProgressBar>
#include <QWidget>
#include <QString>

#include <optional>

#include "platform/base/interaction.h"
#include "platform/base/progress.h"


namespace tarnovell {

// One WM_OPERATION message: the channel (the window's message number), the
// kind as posted, the percent and, for the text kinds, its own copy of the
// text, or none when the posted text could not be read.
class OperationEvent : public QEvent {
public:
    static QEvent::Type Kind();
    OperationEvent(int on_channel, int of_kind, std::int64_t with_percent, std::optional<QString> with_text)
        : QEvent(Kind()), channel(on_channel), kind(of_kind), percent(with_percent), text(std::move(with_text)) {}

    const int channel;
    const int kind;
    const std::int64_t percent;
    const std::optional<QString> text;
};

// The text a kind 2 or 3 message shows: its own, or the fallback
// ("Msg" for a box, "Status" for the status line) when it could not be read.
QString MessageText(const OperationEvent& event);

// Posts to a window from any thread; a window that is gone gets nothing.
class PostingTarget : public platform::OperationTarget {
public:
    explicit PostingTarget(QObject* receiver) : receiver_(receiver) {}
    void post(int channel, platform::OperationKind kind, std::int64_t percent, const std::string& text) override;

private:
    QPointer<QObject> receiver_;
};

class BarProgress : public platform::ProgressBar {
public:
    explicit BarProgress(QProgressBar* bar) : bar_(bar) {}
    void set_max(std::int64_t max) override;
    void set_position(std::int64_t position) override;

private:
    QPointer<QProgressBar> bar_;
};

// Message boxes with the caption they are given, shown on the window's
// thread even when a worker thread asks. A box belongs to the window whose
// operation asks: the window of the innermost QuestionOwner, else the
// modal window in front, else the active window, else `owner`. A box
// owned by another window than the one the person works in opens behind
// it under a window manager that keeps a tool window above its owner.
class DialogInteraction : public platform::Interaction {
public:
    explicit DialogInteraction(QWidget* owner) : owner_(owner) {}
    bool confirm(const std::string& text, const std::string& caption) override;
    // The question, with what its disks and volumes are under it.
    bool confirm_about(const std::string& text, const std::string& caption, const std::string& about) override;
    void inform(const std::string& text, const std::string& caption) override;
    std::optional<std::string> input_box(const std::string& caption, const std::string& prompt,
                                         const std::string& initial) override;

    // The window a box asked now would belong to.
    QWidget* Owner() const;

private:
    QPointer<QWidget> owner_;
};

// Makes `window` the owner of the boxes its operation asks for, from
// whichever thread, for as long as it lives. Made on the window's thread;
// the operations of windows nest as their handlers do, so the last one
// made that still shows is the one asking.
class QuestionOwner {
public:
    explicit QuestionOwner(QWidget* window);
    ~QuestionOwner();
    QuestionOwner(const QuestionOwner&) = delete;
    QuestionOwner& operator=(const QuestionOwner&) = delete;

private:
    QPointer<QWidget> window_;
};

}  // namespace tarnovell
