// How the disk library talks to the person at the machine without knowing
// whether there is a window: questions, messages and input boxes go through
// the current Interaction. The window installs one over Qt dialogs; the
// command line uses the console one; tests script the answers.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class Interaction {
public:
    virtual ~Interaction() = default;
    // A Yes/No question. True means Yes.
    virtual bool confirm(const std::string& text, const std::string& caption) = 0;
    // A Yes/No question about disks or volumes: `about` says, a line for
    // each, which disk or volume a name in the question is on this machine
    // (its device node or image file, model, size, mount folder). A window
    // shows it under the question, a console before it.
    virtual bool confirm_about(const std::string& text, const std::string& caption, const std::string& about) {
        (void)about;
        return confirm(text, caption);
    }
    // A message with an OK button.
    virtual void inform(const std::string& text, const std::string& caption) = 0;
    // A message about a failure of `subject` (a path) with the system's error
    // `code`, whose text names only the code. A window shows the text as it
    // is; a console adds the subject and the system's text for the code, so
    // that what is left in a terminal or a log says what failed and why.
    virtual void inform_failure(const std::string& text, const std::string& caption, const std::string& subject,
                                std::uint32_t code) {
        (void)subject;
        (void)code;
        inform(text, caption);
    }
    // An input box; nothing when cancelled.
    virtual std::optional<std::string> input_box(const std::string& caption, const std::string& prompt,
                                                 const std::string& initial) = 0;
    // An input box whose answer says where on a disk or volume to write:
    // `about` says which it is, as for confirm_about.
    virtual std::optional<std::string> input_box_about(const std::string& caption, const std::string& prompt,
                                                       const std::string& initial, const std::string& about) {
        (void)about;
        return input_box(caption, prompt, initial);
    }
};

// A failure as one line of a console or log: text + " - " + subject + ": "
// + the system's text for `code`.
std::string FailureLine(const std::string& text, const std::string& subject, std::uint32_t code);

// The caption every message box and question of the program carries.
inline constexpr const char* kProgramCaption = "Tarnovell";
// The lower-case caption the error boxes of the disk library's sector,
// volume-list, layout and footer routines have always carried.
inline constexpr const char* kLibraryErrorCaption = "tarnovell";

// The process's current interaction (the console one until another is set).
Interaction& interaction();

// A message and a Yes/No question under the program's caption, through the
// current interaction.
void Say(const std::string& text);
bool Ask(const std::string& question);
// A question about disks or volumes, with what they are (see confirm_about).
bool AskAbout(const std::string& question, const std::string& about);
// An input box under the program's caption; nothing when cancelled.
std::optional<std::string> AskText(const std::string& prompt, const std::string& initial = "");
// Installs `next` (not owned; nullptr restores the console) and returns the previous one.
Interaction* set_interaction(Interaction* next);

// Questions on stderr as text + " [y/n] ", answered by a line on stdin
// starting with y or Y. No input, or any other line, gives the answer that
// writes nothing: No, except Yes for a question that ends in "Abort?".
// With `quiet` (the -quiet switch) nothing is asked and every question is
// answered Yes: go ahead without confirmation. A question that Yes makes the
// operation stop ("...Abort?") is written with its answer all the same: it
// is the reason the operation ends.
class ConsoleInteraction : public Interaction {
public:
    // Reads one answer line; false when there is none (the input ended, or
    // the wait for it was ended).
    using LineReader = std::function<bool(std::string& line)>;

    ConsoleInteraction(std::istream& in, std::ostream& out);
    // Answers are read by `reader` instead of from the stream.
    void set_line_reader(LineReader reader) { read_line_ = std::move(reader); }
    bool confirm(const std::string& text, const std::string& caption) override;
    bool confirm_about(const std::string& text, const std::string& caption, const std::string& about) override;
    void inform(const std::string& text, const std::string& caption) override;
    // One line: text + " - " + subject + ": " + the system's text for code.
    void inform_failure(const std::string& text, const std::string& caption, const std::string& subject,
                        std::uint32_t code) override;
    std::optional<std::string> input_box(const std::string& caption, const std::string& prompt,
                                         const std::string& initial) override;
    std::optional<std::string> input_box_about(const std::string& caption, const std::string& prompt,
                                               const std::string& initial, const std::string& about) override;
    void set_quiet(bool quiet) { quiet_ = quiet; }
    bool quiet() const { return quiet_; }

    // The answer used when no one answers.
    static bool SafeAnswer(const std::string& question);

private:
    bool read_answer(std::string& line);

    std::istream& in_;
    std::ostream& out_;
    LineReader read_line_;
    bool quiet_ = false;
};

// Answers from a script, and a record of everything asked or said.
class ScriptedInteraction : public Interaction {
public:
    struct Exchange {
        enum Kind { Confirm, Inform, Input } kind;
        std::string text;
        std::string caption;
        std::string about;  // what a question about disks or volumes said they are
    };

    void answer_confirm(bool yes) { confirms_.push_back(yes); }
    void answer_input(std::optional<std::string> value) { inputs_.push_back(std::move(value)); }
    // Used when the script runs out of confirm answers.
    void set_default_confirm(bool yes) { default_confirm_ = yes; }

    bool confirm(const std::string& text, const std::string& caption) override;
    // Logged with its `about`, then answered as confirm answers.
    bool confirm_about(const std::string& text, const std::string& caption, const std::string& about) override;
    void inform(const std::string& text, const std::string& caption) override;
    std::optional<std::string> input_box(const std::string& caption, const std::string& prompt,
                                         const std::string& initial) override;
    // Logged with its `about`, then answered as input_box answers.
    std::optional<std::string> input_box_about(const std::string& caption, const std::string& prompt,
                                               const std::string& initial, const std::string& about) override;

    std::vector<Exchange> log() const;
    std::vector<std::string> texts() const;

private:
    mutable std::mutex mutex_;
    std::deque<bool> confirms_;
    std::deque<std::optional<std::string>> inputs_;
    bool default_confirm_ = false;
    std::string next_about_;  // for the question or input box an _about call passes on
    std::vector<Exchange> log_;
};

// Installs an interaction for the life of a scope.
class ScopedInteraction {
public:
    explicit ScopedInteraction(Interaction& next) : previous_(set_interaction(&next)) {}
    ~ScopedInteraction() { set_interaction(previous_); }
    ScopedInteraction(const ScopedInteraction&) = delete;
    ScopedInteraction& operator=(const ScopedInteraction&) = delete;

private:
    Interaction* previous_;
};

}  // namespace platform
