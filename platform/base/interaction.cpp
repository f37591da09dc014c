#include "platform/base/interaction.h"

#include <atomic>
#include <iostream>
#include <utility>

#include "platform/base/win_error.h"

namespace platform {

namespace {

ConsoleInteraction& Console() {
    static ConsoleInteraction console(std::cin, std::cerr);
    return console;
}

std::atomic<Interaction*> current{nullptr};

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string FailureLine(const std::string& text, const std::string& subject, std::uint32_t code) {
    return text + " - " + subject + ": " + SysErrorMessage(code);
}

Interaction& interaction() {
    Interaction* i = current.load();
    return i ? *i : Console();
}

void Say(const std::string& text) { interaction().inform(text, kProgramCaption); }

bool Ask(const std::string& question) { return interaction().confirm(question, kProgramCaption); }

bool AskAbout(const std::string& question, const std::string& about) {
    return interaction().confirm_about(question, kProgramCaption, about);
}

std::optional<std::string> AskText(const std::string& prompt, const std::string& initial) {
    return interaction().input_box(kProgramCaption, prompt, initial);
}

Interaction* set_interaction(Interaction* next) {
    Interaction* previous = current.exchange(next);
    return previous ? previous : &Console();
}

ConsoleInteraction::ConsoleInteraction(std::istream& in, std::ostream& out) : in_(in), out_(out) {}

bool ConsoleInteraction::SafeAnswer(const std::string& question) { return EndsWith(question, "Abort?"); }

bool ConsoleInteraction::read_answer(std::string& line) {
    if (read_line_) return read_line_(line);
    return static_cast<bool>(std::getline(in_, line));
}

bool ConsoleInteraction::confirm(const std::string& text, const std::string&) {
    if (quiet_) {
        // Nothing is asked; but a Yes that stops the operation is told, for
        // the question says what went wrong.
        if (SafeAnswer(text)) out_ << text << " [y/n] y" << std::endl;
        return true;
    }
    out_ << text << " [y/n] " << std::flush;
    std::string line;
    if (!read_answer(line)) {
        out_ << "\n";
        return SafeAnswer(text);
    }
    if (!line.empty() && (line[0] == 'y' || line[0] == 'Y')) return true;
    if (!line.empty() && (line[0] == 'n' || line[0] == 'N')) return false;
    return SafeAnswer(text);
}

bool ConsoleInteraction::confirm_about(const std::string& text, const std::string& caption, const std::string& about) {
    // What the names are goes with the question wherever it is written.
    if (!about.empty() && (!quiet_ || SafeAnswer(text))) out_ << about << "\n";
    return confirm(text, caption);
}

void ConsoleInteraction::inform(const std::string& text, const std::string&) { out_ << text << std::endl; }

void ConsoleInteraction::inform_failure(const std::string& text, const std::string& caption,
                                        const std::string& subject, std::uint32_t code) {
    inform(FailureLine(text, subject, code), caption);
}

std::optional<std::string> ConsoleInteraction::input_box(const std::string&, const std::string& prompt,
                                                         const std::string& initial) {
    if (quiet_) return initial;
    out_ << prompt << " [" << initial << "] " << std::flush;
    std::string line;
    if (!read_answer(line)) return std::nullopt;
    return line.empty() ? initial : line;
}

std::optional<std::string> ConsoleInteraction::input_box_about(const std::string& caption, const std::string& prompt,
                                                               const std::string& initial, const std::string& about) {
    if (!about.empty() && !quiet_) out_ << about << "\n";
    return input_box(caption, prompt, initial);
}

bool ScriptedInteraction::confirm(const std::string& text, const std::string& caption) {
    std::lock_guard guard(mutex_);
    log_.push_back({Exchange::Confirm, text, caption, std::exchange(next_about_, std::string())});
    if (confirms_.empty()) return default_confirm_;
    bool answer = confirms_.front();
    confirms_.pop_front();
    return answer;
}

bool ScriptedInteraction::confirm_about(const std::string& text, const std::string& caption, const std::string& about) {
    {
        std::lock_guard guard(mutex_);
        next_about_ = about;
    }
    // Through confirm, which a script of answers may have made its own.
    return confirm(text, caption);
}

void ScriptedInteraction::inform(const std::string& text, const std::string& caption) {
    std::lock_guard guard(mutex_);
    log_.push_back({Exchange::Inform, text, caption});
}

std::optional<std::string> ScriptedInteraction::input_box(const std::string& caption, const std::string& prompt,
                                                          const std::string& initial) {
    std::lock_guard guard(mutex_);
    log_.push_back({Exchange::Input, prompt, caption, std::exchange(next_about_, std::string())});
    if (inputs_.empty()) return initial;
    auto value = inputs_.front();
    inputs_.pop_front();
    return value;
}

std::optional<std::string> ScriptedInteraction::input_box_about(const std::string& caption, const std::string& prompt,
                                                                const std::string& initial, const std::string& about) {
    {
        std::lock_guard guard(mutex_);
        next_about_ = about;
    }
    return input_box(caption, prompt, initial);
}

std::vector<ScriptedInteraction::Exchange> ScriptedInteraction::log() const {
    std::lock_guard guard(mutex_);
    return log_;
}

std::vector<std::string> ScriptedInteraction::texts() const {
    std::lock_guard guard(mutex_);
    std::vector<std::string> result;
    for (const auto& e : log_) result.push_back(e.text);
    return result;
}

}  // namespace platform
